#!/bin/bash
# Follows docs/troubleshooting.md's cgi-fcgi command as published, against a
# varpage started as docs/servers.md says (spawn-fcgi, as varpage), in the
# sandbox of tests/servers/debian_lib.sh: the command prints the page a CGI
# run gives for the same variables; run as a user the socket refuses, with
# varpage stopped, and with the socket gone, it fails with the status and
# message the guide gives for each.
#   debian_cgi_fcgi_test.sh PATH-TO-VARPAGE
set -uo pipefail

varpage="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
source "$here/debian_lib.sh"
servers_guide="$VARPAGE_ROOT/docs/servers.md"
trouble_guide="$VARPAGE_ROOT/docs/troubleshooting.md"
skip_unless_installed /usr/bin/cgi-fcgi /usr/bin/spawn-fcgi /usr/sbin/runuser
debian_enter "$varpage" "$0" "$@"

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

echo "-- fastcgi-spawn (docs/servers.md)"
spawn_block="$(guide_block "$servers_guide" fastcgi-spawn)" || {
  echo "FAILED: docs/servers.md has no block marked fastcgi-spawn"
  exit 1
}
run_shell_block "$spawn_block"

# The published block: its apt-get line, then the one command to run.
block="$(guide_block "$trouble_guide" cgi-fcgi)" || {
  echo "FAILED: docs/troubleshooting.md has no block marked cgi-fcgi"
  exit 1
}
run_shell_block "$(grep '^apt-get install' <<<"$block")"
command="$(grep -v -e '^apt-get install' -e '^[[:space:]]*#' -e '^[[:space:]]*$' <<<"$block")"
if [ "$(grep -c . <<<"$command")" != 1 ] || [[ "$command" != *"cgi-fcgi -bind -connect /run/varpage/fcgi.sock"* ]]; then
  echo "FAILED: the block is not one cgi-fcgi command for varpage's socket: $command"
  exit 1
fi
echo "  \$ $command"

# ask_socket [USER]: runs the command (as USER), its output in $output and
# its status in $status.
ask_socket() {
  if [ -n "${1:-}" ]; then
    output="$(runuser -u "$1" -- bash -c "$command" 2>&1)"
  else
    output="$(bash -c "$command" 2>&1)"
  fi
  status=$?
}
# Dates change from one second to the next; the rest must not.
without_dates() { sed -E 's/[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT/DATE/g'; }

# The page: the CGI headers, then the very page the program gives as a CGI
# program for the variables the command sets (the part before cgi-fcgi),
# byte for byte.
ask_socket
variables="${command%%cgi-fcgi *}"
cgi="$(bash -c "${variables}/usr/lib/cgi-bin/varpage" </dev/null | without_dates)"
if [ "$status" = 0 ] && [[ "$output" == "Content-type: text/html"$'\r\n'* ]] && [[ "$output" == *"</html>" ]] &&
  [ "$(without_dates <<<"$output")" = "$cgi" ]; then
  echo "ok: cgi-fcgi prints the page, the same as the CGI program's for its variables"
else
  fail "cgi-fcgi printed (status $status): $(head -c 400 <<<"$output")"
fi
if [[ "$output" == *"<td>REMOTE_ADDR</td>"$'\r\n\t\t'"<td>127.0.0.1</td>"* ]] && [[ "$output" != *"<td>HOME</td>"* ]]; then
  echo "ok: the page holds the command's variables and nothing of the shell's"
else
  fail "the page does not hold REMOTE_ADDR=127.0.0.1 alone, without the shell's variables"
fi
ask_socket www-data
if [ "$status" = 0 ] && [[ "$output" == *"</html>" ]]; then echo "ok: www-data gets the page too"; else
  fail "www-data gets status $status: $output"; fi

# expect_failure WHAT STATUS: the command failed as the guide's table says.
expect_failure() {
  if [ "$status" = "$2" ] && [ "$output" = "Could not connect to /run/varpage/fcgi.sock" ]; then
    echo "ok: $1: status $status, $output"
  else
    fail "$1: status $status, not $2: $output"
  fi
  grep -qE "^\| $2 \|" "$trouble_guide" || fail "the guide's table has no row for status $2"
}
ask_socket nobody
expect_failure "as nobody" 13
for pid in $(sandbox_pids); do
  [ "$(readlink "/proc/$pid/exe")" = /usr/lib/cgi-bin/varpage ] && stop_pid "$pid"
done
ask_socket
expect_failure "with varpage stopped" 111
rm /run/varpage/fcgi.sock
ask_socket
expect_failure "without the socket" 2
exit $failed
