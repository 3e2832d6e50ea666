#!/bin/bash
# scripts/serve as a user runs it, on a program already built (--program):
# without lighttpd it says what to install; on a port another program holds
# it fails, saying so, and so does the library's start_lighttpd when the
# other program answers HTTP there; on a free port it serves this run's page,
# as www-data where started as root, and Ctrl-C (SIGINT to its process group,
# as a terminal sends it) or SIGTERM stops it and its server.
#   serve_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_server_installed lighttpd
skip_unless_installed /usr/bin/curl /usr/bin/python3 /usr/bin/ss
offline_or_loopback_in_hosts "$0" "$@"

serve="$VARPAGE_ROOT/scripts/serve"
open_site "$varpage"
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# serve_in_background OUTPUT ARG...: scripts/serve in a session of its own,
# with SIGINT and SIGTERM as a terminal leaves them (a background job of a
# script ignores SIGINT); sets $serve_pid.
serve_in_background() {
  local output="$1"
  shift
  setsid env --default-signal=INT,TERM bash "$serve" --program "$varpage" "$@" >"$output" 2>&1 &
  serve_pid=$!
}

# Started by a user other than root where lighttpd is not installed (hidden
# in a mount namespace of its own), it says what to install, and how.
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null && command -v setpriv >/dev/null; then
  status=0
  output="$(unshare -m -- bash -c 'mount -t tmpfs none /usr/sbin && exec setpriv --reuid=nobody \
    --regid="$(id -g nobody)" --clear-groups bash "$@"' bash "$serve" --program "$varpage" 2>&1)" || status=$?
  if [ "$status" = 1 ] && [[ "$output" == "serve: please install: lighttpd (as root: apt-get install lighttpd)" ]]; then
    echo "ok: without lighttpd, as nobody: $output"
  else
    fail "without lighttpd, as nobody (status $status): $output"
  fi
else
  echo "note: not root, or no mount namespace: the message for a missing package is not checked"
fi

# A port another program holds: an HTTP server that answers every request.
taken="$(free_port)"
spawn python3 -m http.server --bind 127.0.0.1 "$taken" --directory "$site/tmp" >/dev/null 2>&1
wait_for_port "$taken"
status=0
output="$(timeout 60 bash "$serve" --program "$varpage" "$taken" 2>&1)" || status=$?
if [ "$status" = 1 ] && [[ "$output" == *"port $taken on 127.0.0.1 is taken by another program; the next free port is "* ]] &&
   [[ "$output" != *"Ctrl-C to stop"* ]]; then
  echo "ok: scripts/serve $taken fails, saying the port is taken: $output"
else
  fail "scripts/serve on a taken port (status $status): $output"
fi
# The next port it offers is free (unless something took it since).
offered="$(sed -n 's/.*scripts\/serve \([0-9]*\)$/\1/p' <<<"$output")"
if [ -n "$offered" ] && [ "$(next_free_port "$offered")" = "$offered" ]; then
  echo "ok: the port offered, $offered, is free"
else
  fail "the port offered ($offered) is not free"
fi

# The library behind it, where the other program answers HTTP on the port
# lighttpd cannot take: the answer must not pass for lighttpd's.
mkdir "$site/own"
make_site "$site/own" "$varpage"
status=0
start_lighttpd "$site/own" "$taken" 2>"$site/start.log" || status=$?
if [ "$status" != 0 ] && grep -q "ended without answering" "$site/start.log" &&
   grep -q "Address already in use" "$site/own/error.log"; then
  echo "ok: start_lighttpd on the taken port fails: $(cat "$site/start.log")"
else
  fail "start_lighttpd on the taken port (status $status): $(cat "$site/start.log")"
fi
stop_servers

# A free port: the page, this run's, then each way of stopping it.
for stop in SIGINT SIGTERM; do
  port="$(free_port)"
  serve_in_background "$site/serve-$stop.log" "$port"
  for i in $(seq 300); do
    grep -q "Ctrl-C to stop" "$site/serve-$stop.log" && break
    kill -0 "$serve_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q "^varpage: http://127.0.0.1:$port/ " "$site/serve-$stop.log"; then
    fail "scripts/serve $port did not say it serves: $(cat "$site/serve-$stop.log")"
    kill -KILL -- "-$serve_pid" 2>/dev/null || true
    continue
  fi
  for path in / /cgi-bin/varpage; do
    page="$(curl -s "http://127.0.0.1:$port$path?from=test")"
    if [[ "$page" == *$'<td>QUERY_STRING</td>\r\n\t\t<td>from=test</td>'* ]] && [[ "$page" == *"</html>" ]]; then
      echo "ok: the page at $path"
    else
      fail "no page at $path: $(tail -c 300 <<<"$page")"
    fi
  done
  server="$(ss -Hltnp "sport = :$port" | grep -o 'pid=[0-9]*' | head -n1 | cut -d= -f2)"
  user="$(ps -o user= -p "$server" 2>/dev/null || true)"
  expected=www-data
  [ "$(id -u)" -eq 0 ] || expected="$(id -un)"
  if [ "$user" = "$expected" ] && grep -q "served by lighttpd as $expected;" "$site/serve-$stop.log"; then
    echo "ok: lighttpd (pid $server) runs as $user, as scripts/serve says"
  else
    fail "lighttpd (pid ${server:-none}) runs as ${user:-nobody knows}, not $expected: $(cat "$site/serve-$stop.log")"
  fi

  if [ "$stop" = SIGINT ]; then kill -INT -- "-$serve_pid"; else kill -TERM "$serve_pid"; fi
  for i in $(seq 100); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$serve_pid" 2>/dev/null; then
    fail "scripts/serve still runs 10 s after $stop"
    kill -KILL -- "-$serve_pid" 2>/dev/null || true
  fi
  status=0
  wait "$serve_pid" || status=$?
  left="$(ps -o pid=,args= -p "$server" -s "$serve_pid" || true)"
  if [ -z "$left" ] && [ "$(next_free_port "$port")" = "$port" ]; then
    echo "ok: $stop stops scripts/serve (status $status) and lighttpd, and frees port $port"
  else
    fail "after $stop, still running: $left"
    [ -n "$server" ] && kill -KILL "$server" 2>/dev/null || true
  fi
done
exit $failed
