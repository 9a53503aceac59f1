# The 64-bit Windows build of the same programs. The shipped programs are the
# 32-bit ones; this build serves the Wine tests on machines that cannot run
# 32-bit code.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32.cmake)
