#!/usr/bin/env bash
# The platform layer's tests, written against the Windows API alone, run
# against Wine's: the same cases pass on the POSIX stand-in. Cases where Wine
# departs from Windows skip themselves when RUNNING_UNDER_WINE is set.
source "$(dirname "$0")/wine_env.sh"

work="$DRIVE_C/platform-test"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
RUNNING_UNDER_WINE=1 win_program platform_test.exe
