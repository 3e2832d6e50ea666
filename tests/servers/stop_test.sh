#!/bin/bash
# How a varpage FastCGI process takes signals, held on its socket as a socket
# unit holds it (socket_holder.py), behind nginx:
# - SIGHUP, SIGUSR1 and SIGUSR2 leave it serving, the same process;
# - SIGTERM while a request waits in a slow lookup: that request still gets
#   its whole page, host name included; a kept connection idle between
#   requests is closed at once; a request that comes meanwhile is not taken
#   by the stopping process but waits on the socket and is answered by the
#   next one; the process ends with status 0 once the slow request is done;
# - SIGINT and SIGQUIT stop it the same way, with status 0.
# Runs in a network and mount namespace of its own, with a resolver on
# 127.0.0.1:53 (slow_resolver.py) that answers when told to.
# - SIGTERM while workers are on their way into accept4(), a way that
#   SLOW-ACCEPT (tests/slow_accept.cc, preloaded) makes 400 ms long: the
#   process ends all the same, within 1.5 s (lifecycle_peer.py).
#   stop_test.sh PATH-TO-VARPAGE PATH-TO-SLOW-ACCEPT
set -euo pipefail

varpage="$1"
slow_accept="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/sbin/nginx /usr/bin/curl /usr/bin/python3
go_offline_with_own_resolver "$0" "$@"

open_site "$varpage"
start_slow_resolver "$site"
start_held_varpage "$site"
spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$(render_config fastcgi/nginx "$site" "$port")"
wait_for_port "$port"

url="http://127.0.0.1:$port/cgi-bin/varpage"
failed=0
ok() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failed=1; }
# whole FILE TAG: the page in FILE is whole and shows the query string TAG.
whole() { [ -f "$1" ] && [[ "$(cat "$1")" == *"<td>$2</td>"* ]] && [[ "$(cat "$1")" == *"</html>" ]]; }
exits() { grep -c '^exited ' "$site/holder/log" || true; }

first="$(cat "$site/holder/pid")"
for signal in HUP USR1 USR2; do
  holder "$site" signal "$signal"
  sleep 0.5
  curl -s --max-time 20 -o "$site/after-$signal.html" "$url?after-$signal" || true
  if whole "$site/after-$signal.html" "after-$signal" && kill -0 "$first" 2>/dev/null &&
     [ "$(cat "$site/holder/pid")" = "$first" ] && [ "$(exits)" = 0 ]; then
    ok "SIG$signal: the same process ($first) serves on"
  else
    fail "SIG$signal: $(tail -c 200 "$site/after-$signal.html" 2>&1); $(cat "$site/holder/log")"
  fi
done

# A request that waits in its lookup, and a kept connection between requests.
curl -s --max-time 60 --interface 127.0.0.2 -o "$site/slow.html" "$url?slow" &
slow=$!
for i in $(seq 300); do [ -e "$site/dns/asked" ] && break; sleep 0.1; done
[ -e "$site/dns/asked" ] || fail "the slow lookup never reached the resolver"
PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" kept "$site/varpage.sock" >"$site/kept.txt" &
kept=$!
for i in $(seq 100); do grep -q answered "$site/kept.txt" && break; sleep 0.1; done
grep -q answered "$site/kept.txt" || fail "the kept connection got no page: $(cat "$site/kept.txt")"

holder "$site" restart &
restarting=$!
# The kept connection closes while the slow request still waits.
wait "$kept" || true
if grep -q '^closed' "$site/kept.txt"; then ok "SIGTERM closes a kept connection between requests ($(grep closed "$site/kept.txt"))"
else fail "the kept connection: $(cat "$site/kept.txt")"; fi
curl -s --max-time 60 -o "$site/queued.html" "$url?queued" &
queued=$!
sleep 2
if kill -0 "$first" 2>/dev/null && [ "$(exits)" = 0 ] && kill -0 "$slow" 2>/dev/null; then
  ok "the stopping process waits for the request in its lookup"
else
  fail "the stopping process did not wait for its slow request: $(cat "$site/holder/log")"
fi
if kill -0 "$queued" 2>/dev/null; then
  ok "a request that came during the stop was not taken by the stopping process"
else
  fail "the stopping process took a new request"
fi

touch "$site/dns/release"
wait "$slow" || true
if whole "$site/slow.html" slow && [[ "$(cat "$site/slow.html")" == *$'\t\t\tslow-client.test\r\n'* ]]; then
  ok "the request in progress got its whole page, host name included"
else
  fail "the slow request: $(tail -c 300 "$site/slow.html" 2>&1)"
fi
wait "$restarting" || fail "the holder did not restart varpage"
if grep -q "^exited $first 0\$" "$site/holder/log"; then ok "the process ended with status 0"
else fail "how the process ended: $(cat "$site/holder/log")"; fi
wait "$queued" || true
second="$(cat "$site/holder/pid")"
if whole "$site/queued.html" queued && [ "$second" != "$first" ]; then
  ok "the request that came during the stop was answered by the next process ($second)"
else
  fail "the request that came during the stop: $(tail -c 200 "$site/queued.html" 2>&1)"
fi

# SIGINT and SIGQUIT stop it as SIGTERM does.
for signal in INT QUIT; do
  before="$(cat "$site/holder/pid")"
  holder "$site" restart "$signal"
  curl -s --max-time 20 -o "$site/after-$signal.html" "$url?after-$signal" || true
  if grep -q "^exited $before 0\$" "$site/holder/log" && whole "$site/after-$signal.html" "after-$signal"; then
    ok "SIG$signal ends the process with status 0; the next one answers"
  else
    fail "SIG$signal: $(cat "$site/holder/log"); $(tail -c 200 "$site/after-$signal.html" 2>&1)"
  fi
done

PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" stop-in-window "$varpage" "$slow_accept" ||
  failed=1
exit $failed
