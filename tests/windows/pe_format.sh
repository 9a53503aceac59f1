#!/usr/bin/env bash
# The shipped Windows programs, and the tests' own, are 32-bit PE console
# programs that need no DLL beyond the system's: no compiler runtime DLL
# (libstdc++, libgcc, libwinpthread) may be left to install beside them.
#   pe_format.sh OBJDUMP BUILD_DIR
set -euo pipefail
objdump=$1
build=$2

programs=(
  mailslot-service.exe
  tools/mailslot-client.exe
  tests/platform/platform_test.exe
  tests/windows/hold_slot.exe
  tests/windows/serve_request.exe
)

status=0
for program in "${programs[@]}"; do
  path="$build/$program"
  if [ ! -f "$path" ]; then
    echo "FAIL: $program was not built" >&2
    status=1
    continue
  fi
  headers=$("$objdump" -f "$path")
  private=$("$objdump" -p "$path")
  if ! grep -q 'file format pei-i386' <<<"$headers"; then
    echo "FAIL: $program is not a PE32 i386 program:" >&2
    grep 'file format' <<<"$headers" >&2
    status=1
  fi
  if ! grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$private"; then
    echo "FAIL: $program is not a console program:" >&2
    grep '^Subsystem' <<<"$private" >&2
    status=1
  fi
  dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$private" | sort -u)
  for dll in $dlls; do
    case "$dll" in
      kernel32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
      *)
        echo "FAIL: $program imports $dll, which is not a system DLL" >&2
        status=1
        ;;
    esac
  done
  echo "$program: pei-i386, console, imports" $dlls
done
exit "$status"
