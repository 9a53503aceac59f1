#!/usr/bin/env bash
# While another program holds the server's slot name, the service cannot
# create its slot: it logs why and runs its stop sequence at once.
source "$(dirname "$0")/wine_env.sh"

holder_out=$(mktemp)
# Run directly, not through a pipe, so $! is the Wine process itself.
"$WINE" "$PROGRAMS_WIN\\hold_slot.exe" "$SERVER_SLOT" 60 >"$holder_out" 2>&1 &
holder=$!
end_holder() {
  kill "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  rm -f "$holder_out"
}
wait_for 'grep -q holding "$holder_out"' || { cat "$holder_out" >&2; end_holder; fail "hold_slot"; }

register_service
trap 'unregister_service; end_holder' EXIT
# Wine's `net start` reports success here too: it does not wait for the
# outcome. What counts is the state the service ends in, and its log.
wine_run net start "$SERVICE" || true
wait_for '[ "$(service_state)" = STOPPED ]' || fail "the service is $(service_state), not STOPPED"
wait_for 'log_has_line "MailSlot Service stopped!"' || fail "no stop line in the log"

expect_log \
  "MailSlot service entry point" \
  "MailSlot Service starting..." \
  $'CreateMailslot: Error 183\n' \
  "Error init MailSlot server -1" \
  "${STOP_LINES[@]}"
