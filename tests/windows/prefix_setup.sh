#!/usr/bin/env bash
# Makes the fresh Wine prefix the Wine tests share and copies the Windows
# programs into its drive C:.
source "$(dirname "$0")/wine_env.sh"

"$WINE_SERVER" -k 2>/dev/null || true # a server left by an interrupted run
"$WINE_SERVER" -w 2>/dev/null || true
rm -rf "$WINEPREFIX"

rm -f "$BOOT_LOG"
start=$SECONDS
if ! "$WINE" wineboot -i </dev/null >"$BOOT_LOG" 2>&1; then
  cat "$BOOT_LOG" >&2
  fail "wineboot"
fi
# A first boot can leave two service managers running, each with its own
# list of services: let that server end, then start the one the tests share.
"$WINE_SERVER" -w
start_prefix_server
echo "prefix ready in $((SECONDS - start)) s: $WINEPREFIX ($("$WINE" --version))"

mkdir -p "$PROGRAMS"
cp "$WIN_BUILD/mailslot-service.exe" \
   "$WIN_BUILD/tools/mailslot-client.exe" \
   "$WIN_BUILD/tests/windows/hold_slot.exe" \
   "$WIN_BUILD/tests/windows/serve_request.exe" \
   "$WIN_BUILD/tests/platform/platform_test.exe" \
   "$PROGRAMS/"
