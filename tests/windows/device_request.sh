#!/usr/bin/env bash
# Requests for a device under Wine, through one pass of the request loop
# (serve_request.exe: the service itself never opens a requested file under
# Wine, whose missing domain broadcast fails the reply first). Wine's
# GetFullPathNameA gives NUL its device path, as Windows does: it is refused
# by name and gets the cannot-open reply, while a file is still counted.
source "$(dirname "$0")/wine_env.sh"

printf 'one two three' >"$PROGRAMS/spaces.txt"
file="$PROGRAMS_WIN\\spaces.txt"
rm -f "$LOG"

ask() {
  local reply
  reply=$(win_program serve_request.exe "$1") || fail "serve_request $1"
  [ "$reply" = "$2" ] || fail "the reply to $1 is '$reply', not '$2'"
}
ask 'NUL' '(Server)Can'"'"'t open NUL!'
ask '\\.\NUL' '(Server)Can'"'"'t open \\.\NUL!'
ask "$file" 2

expect_log \
  $'Mailslot created\n' $'Received: <NUL>\n' "(Server)Can't open NUL!" $'Bytes sent 24\n' \
  "Mailslot closed!" \
  $'Mailslot created\n' $'Received: <\\\\.\\NUL>\n' "(Server)Can't open \\\\.\\NUL!" \
  $'Bytes sent 28\n' "Mailslot closed!" \
  $'Mailslot created\n' $'Received: <'"$file"$'>\n' \
  $'(Server): file:'"$file"$', spaces = 2\n' $'Bytes sent 2\n' "Mailslot closed!"
