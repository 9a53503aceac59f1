#!/usr/bin/env bash
# The service registered, started and stopped by the service manager, asked
# by the client to exit in between: every line of the log, in order.
source "$(dirname "$0")/wine_env.sh"

register_service
start_service
[ "$(service_state)" = RUNNING ] || fail "sc query does not show RUNNING"

win_program mailslot-client.exe --exit || fail "mailslot-client --exit"
wait_for "log_has_line $'Client exited!\n'" || fail "the service did not take the exit request"

stop_service
expect_log \
  "${START_LINES[@]}" \
  $'Received: <exit>\n' \
  $'Client exited!\n' \
  "${STOP_LINES[@]}"
