#!/usr/bin/env bash
# A path request under Wine. The service answers by domain broadcast to
# \\*\mailslot\$Channel2$, which Wine does not have: opening that name fails
# with ERROR_PATH_NOT_FOUND (3), so the service logs each request (the path
# and the client's markers around it) and the failed open, sends nothing and
# goes on serving. (On Windows the reply reaches the client; the POSIX
# build's tests cover the reply itself.)
source "$(dirname "$0")/wine_env.sh"

printf 'one two three' >"$PROGRAMS/spaces.txt"
request="$PROGRAMS_WIN\\spaces.txt"

register_service
start_service

status=0
win_program mailslot-client.exe --timeout 1 "$request" || status=$?
[ "$status" = 2 ] || fail "mailslot-client exited $status, not 2 (no reply)"
wait_for "log_has_line $'CreateFile for send: Error 3\n'" || fail "no failed open in the log"

# The service still serves after the failed reply.
win_program mailslot-client.exe --exit || fail "mailslot-client --exit"
wait_for "log_has_line $'Client exited!\n'" || fail "the service did not take the exit request"

stop_service
expect_log \
  "${START_LINES[@]}" \
  $'Received: <MARKER>\n' \
  $'CreateFile for send: Error 3\n' \
  $'Received: <'"$request"$'>\n' \
  $'CreateFile for send: Error 3\n' \
  $'Received: <MARKER>\n' \
  $'CreateFile for send: Error 3\n' \
  $'Received: <exit>\n' \
  $'Client exited!\n' \
  "${STOP_LINES[@]}"
