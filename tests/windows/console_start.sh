#!/usr/bin/env bash
# Started from a console rather than by the service manager, the program logs
# its entry and the dispatcher's refusal, and exits 0.
source "$(dirname "$0")/wine_env.sh"

rm -f "$LOG"
status=0
win_program mailslot-service.exe || status=$?
[ "$status" = 0 ] || fail "exit status $status, not 0"
expect_log \
  "MailSlot service entry point" \
  $'StartServiceCtrlDispatcher: Error 1063\n'
