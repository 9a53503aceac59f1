# Sourced by the Wine tests: the prefix the fixture made, and helpers to run
# the Windows programs in it and check the service's log.
set -euo pipefail

: "${WINE:?}" "${WINE_SERVER:?}" "${WINEPREFIX:?}" "${WIN_BUILD:?}"
export WINEPREFIX WINEDEBUG="${WINEDEBUG:--all}"

DRIVE_C="$WINEPREFIX/drive_c"
LOG="$DRIVE_C/ZQ_logfile.log"
PROGRAMS="$DRIVE_C/mailslot"     # where prefix_setup.sh copies the programs
PROGRAMS_WIN='C:\mailslot'
SERVICE="Sample service"
SERVER_SLOT='\\.\mailslot\$Channel1$'
BOOT_LOG="$WINEPREFIX.boot.log"  # what Wine's own processes print

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Starts a persistent server for the prefix, and with it the system
# processes (services.exe and the like). Wine ends service processes a few
# seconds after the last ordinary process exits, which would stop the service
# between two commands of a test; a persistent server keeps them. They print
# to the boot log: were they to hold the test's output open, CTest would
# wait for them.
start_prefix_server() {
  "$WINE_SERVER" -p </dev/null >>"$BOOT_LOG" 2>&1
  "$WINE" wineboot </dev/null >>"$BOOT_LOG" 2>&1
}

# Runs a program of the prefix, e.g. `wine sc query NAME`, with the output's
# CR LF made plain LF.
wine_run() {
  "$WINE" "$@" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# Runs one of our programs: win_program mailslot-client.exe ARGS...
win_program() {
  local name=$1
  shift
  wine_run "$PROGRAMS_WIN\\$name" "$@"
}

# Waits up to $2 seconds (default 20) for the command in $1 to succeed.
wait_for() {
  local deadline=$((SECONDS + ${2:-20}))
  until eval "$1"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# --- the log -------------------------------------------------------------

# Each log line is the program's text followed by CR LF. Lines are given as
# the program wrote them, with $'...' for their own "\n".
log_has_line() {
  [ -f "$LOG" ] || return 1
  local content
  content=$'\r\n'$(cat "$LOG" && echo .)
  [[ $content == *$'\r\n'"$1"$'\r\n'* ]]
}

# The client sends a marker before and after each path, a request with a
# random name; expect_log shows each as MARKER.
MARKER_PATTERN='\\\\\?\\mailslot-client\\[^>!]*'

expect_log() {
  local expected got
  expected=$(mktemp)
  got=$(mktemp)
  printf '%s\r\n' "$@" >"$expected"
  if [ -f "$LOG" ]; then sed -E "s/$MARKER_PATTERN/MARKER/g" "$LOG" >"$got"; fi
  if ! cmp -s "$expected" "$got"; then
    echo "FAIL: the log is not as expected" >&2
    echo "--- expected (cat -A):" >&2
    cat -A "$expected" >&2
    echo "--- got (cat -A):" >&2
    if [ -f "$LOG" ]; then cat -A "$got" >&2; else echo "(no log)" >&2; fi
    rm -f "$expected" "$got"
    exit 1
  fi
  rm -f "$expected" "$got"
  echo "log as expected: $# lines"
}

# --- the service ---------------------------------------------------------

START_LINES=(
  "MailSlot service entry point"
  "MailSlot Service starting..."
  $'Mailslot created\n'
  "MailSlot Service started!"
  $'Mailslot server demo\n'
)
STOP_LINES=(
  "MailSlot Service stopping..."
  "Mailslot closed!"
  "MailSlot Service stopped!"
)

# The service's state as `sc query` names it (RUNNING, STOPPED, ...).
service_state() {
  wine_run sc query "$SERVICE" | awk '$1 == "STATE" {print $4}'
}

# Registers the service afresh, with an empty log.
register_service() {
  wine_run sc delete "$SERVICE" >/dev/null 2>&1 || true
  rm -f "$LOG"
  wine_run sc create "$SERVICE" binPath= "$PROGRAMS_WIN\\mailslot-service.exe" ||
    fail "sc create"
  trap unregister_service EXIT
}

# Leaves no service behind for the next test: stops it if it still runs and,
# should it not stop, ends every process of the prefix.
unregister_service() {
  local state
  state=$(service_state || true)
  if [ -n "$state" ] && [ "$state" != STOPPED ]; then
    echo "the service is still $state: stopping it" >&2
    wine_run net stop "$SERVICE" >&2 || true
    if ! wait_for '[ "$(service_state)" = STOPPED ]' 20; then
      echo "it does not stop: ending the prefix's processes" >&2
      "$WINE_SERVER" -k || true
      "$WINE_SERVER" -w || true
      start_prefix_server
    fi
  fi
  wine_run sc delete "$SERVICE" >/dev/null 2>&1 || true
}

# Starts the service with `net start` and waits until it serves.
start_service() {
  wine_run net start "$SERVICE" || fail "net start"
  wait_for '[ "$(service_state)" = RUNNING ]' || fail "the service is $(service_state), not RUNNING"
  wait_for "log_has_line $'Mailslot server demo\n'" || fail "the request loop did not start"
}

# Stops it with `net stop` (Wine's `sc stop` does not deliver the stop
# control) and waits for the stop sequence's last line.
stop_service() {
  wine_run net stop "$SERVICE" || fail "net stop"
  wait_for '[ "$(service_state)" = STOPPED ]' || fail "the service is $(service_state), not STOPPED"
  wait_for 'log_has_line "MailSlot Service stopped!"' || fail "no stop line in the log"
}
