#!/usr/bin/env bash
# Ends every process of the shared Wine prefix, then removes it.
source "$(dirname "$0")/wine_env.sh"

"$WINE_SERVER" -k 2>/dev/null || true
"$WINE_SERVER" -w
rm -rf "$WINEPREFIX" "$BOOT_LOG"
