# The native side of tests/windows: finds the cross compiler and Wine,
# cross-builds the project for Windows and registers the Wine tests.
#
# The shipped programs are 32-bit. They are always cross-built and their
# format and imports checked. Wine runs them where this machine can run
# 32-bit code; where it cannot (some virtual machines), the same sources are
# cross-built for 64-bit Windows and run under 64-bit Wine instead, and the
# tests' names say which build ran.
include(ExternalProject)

set(WINDOWS_TEST_ARCH auto CACHE STRING
    "Which Windows build the Wine tests run: auto (i686 where it runs), i686 or x86_64")
set_property(CACHE WINDOWS_TEST_ARCH PROPERTY STRINGS auto i686 x86_64)

find_program(MINGW_I686_CXX i686-w64-mingw32-g++-posix)
find_program(MINGW_I686_OBJDUMP i686-w64-mingw32-objdump)
find_program(MINGW_X86_64_CXX x86_64-w64-mingw32-g++-posix)
# The 32-bit loader. Debian's `wine` command runs the 64-bit one when the
# 32-bit one (wine32) is missing, so there it is asked for by its own path.
find_program(WINE_I686 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT WINE_I686 AND NOT EXISTS /usr/lib/wine/wine64)
  find_program(WINE_I686 wine)
endif()
find_program(WINE_X86_64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
find_program(WINE_SERVER wineserver)

set(WINDOWS_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR})
set(WINDOWS_INSTALL_HINT "install wine wine32:i386 g++-mingw-w64-i686-posix; where this machine cannot run 32-bit code, wine64 g++-mingw-w64-x86-64-posix too")

# One test that tells why the Wine tests did not run: skipped, or failed in CI.
function(add_windows_skip name reason)
  message(STATUS "Windows tests ${reason}")
  add_test(NAME windows.${name}
    COMMAND bash ${WINDOWS_SCRIPTS}/skipped.sh "${reason} (${WINDOWS_INSTALL_HINT})")
  set_tests_properties(windows.${name} PROPERTIES LABELS windows SKIP_RETURN_CODE 77)
endfunction()

# TRUE in out when the Wine loader starts on this machine.
function(wine_starts loader out)
  set(${out} FALSE PARENT_SCOPE)
  if(loader AND WINE_SERVER)
    execute_process(COMMAND ${loader} --version RESULT_VARIABLE rc
                    OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
    if(rc EQUAL 0)
      set(${out} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# The whole project, tests included, cross-built into <binary dir>/<arch>.
function(add_windows_build arch)
  ExternalProject_Add(windows-${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/${arch}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${arch}-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DBUILD_TESTING=ON
      -DBUILD_BENCHMARKS=OFF
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endfunction()

if(NOT MINGW_I686_CXX OR NOT MINGW_I686_OBJDUMP)
  add_windows_skip(cross_build "skipped: no i686-w64-mingw32-g++-posix to build the Windows programs")
  return()
endif()

add_windows_build(i686)
add_test(NAME windows.i686.pe_format
  COMMAND bash ${WINDOWS_SCRIPTS}/pe_format.sh ${MINGW_I686_OBJDUMP} ${CMAKE_CURRENT_BINARY_DIR}/i686)
set_tests_properties(windows.i686.pe_format PROPERTIES LABELS windows)

# Which build runs under Wine here.
set(run_arch "")
wine_starts("${WINE_I686}" i686_runs)
if(WINDOWS_TEST_ARCH STREQUAL "i686" OR (WINDOWS_TEST_ARCH STREQUAL "auto" AND i686_runs))
  if(i686_runs)
    set(run_arch i686)
    set(run_wine ${WINE_I686})
    set(run_winearch win32)
  endif()
elseif(MINGW_X86_64_CXX)
  wine_starts("${WINE_X86_64}" x86_64_runs)
  if(x86_64_runs)
    set(run_arch x86_64)
    set(run_wine ${WINE_X86_64})
    set(run_winearch win64)
  endif()
endif()

if(NOT run_arch)
  add_windows_skip(under_wine "skipped: Wine cannot run the Windows programs on this machine")
  return()
endif()
message(STATUS "Windows tests: the ${run_arch} build runs under ${run_wine}")
if(NOT run_arch STREQUAL "i686")
  add_windows_build(${run_arch})
endif()

# One Wine prefix for the whole run: made by the setup test, removed by the
# cleanup test. The tests share it, so they take turns.
set(prefix_env
  WINE=${run_wine}
  WINE_SERVER=${WINE_SERVER}
  WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix
  WINEARCH=${run_winearch}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=
  WIN_BUILD=${CMAKE_CURRENT_BINARY_DIR}/${run_arch})

function(add_wine_test name script timeout)
  set(test windows.${run_arch}.${name})
  add_test(NAME ${test} COMMAND bash ${WINDOWS_SCRIPTS}/${script})
  set_tests_properties(${test} PROPERTIES
    LABELS windows
    ENVIRONMENT "${prefix_env}"
    RESOURCE_LOCK wine_prefix
    TIMEOUT ${timeout}
    ${ARGN})
endfunction()

add_wine_test(prefix_setup prefix_setup.sh 240 FIXTURES_SETUP wine_prefix)
add_wine_test(prefix_cleanup prefix_cleanup.sh 60 FIXTURES_CLEANUP wine_prefix)
foreach(case console_start service_lifecycle failed_start path_request device_request
    platform_test)
  add_wine_test(${case} ${case}.sh 120 FIXTURES_REQUIRED wine_prefix)
endforeach()
