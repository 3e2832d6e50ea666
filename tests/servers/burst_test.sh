#!/bin/bash
# A burst on one varpage FastCGI process, held on its socket as a socket unit
# holds it, with the open-file limit systemd gives services (1024): 512
# requests at once, each waiting in a reverse lookup that only a slow
# resolver answers (slow_resolver.py, on 127.0.0.1:53 of a network and mount
# namespace of the test's own). Every page must come whole, host name
# included; 10 s after the connections close, the process must still have
# its workers, and a minute or so after, it must be back to a fresh one's
# threads and near its address space. Prints the numbers (bench/run does
# not: the timing here is the program's, not measured).
# Alongside, two processes of their own (lifecycle_peer.py retire): with 20
# connections kept busy and 20 closed, the idle workers leave a minute on and
# the busy ones stay; with 40 closed and, near the minute, SLOW-ACCEPT
# (tests/slow_accept.cc, preloaded) holding idle workers on their way into
# accept4() as they are asked to leave, they leave all the same.
# The burst's process must say once that all 512 workers are busy, and once
# that they are free again, as troubleshooting.md quotes it.
#   burst_test.sh PATH-TO-VARPAGE PATH-TO-SLOW-ACCEPT
set -euo pipefail

varpage="$1"
slow_accept="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/python3 /bin/ps
go_offline_with_own_resolver "$0" "$@"

open_site "$varpage"
start_slow_resolver "$site"

# The soft limit a systemd service gets; the hard one stays as it is.
if ! ulimit -S -n 1024; then
  echo "SKIPPED: cannot set the open-file soft limit to 1024"
  exit 77
fi
spawn env PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" retire "$varpage" 20 20 \
  >"$site/busy-and-idle.txt" 2>&1
busy_and_idle=$!
spawn env PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" retire "$varpage" 0 40 \
  "$slow_accept" >"$site/missed-wake.txt" 2>&1
missed_wake=$!
# varpage's standard error, through the holder's.
start_held_varpage "$site" 2>"$site/varpage.log"
failed=0
PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" burst "$site/varpage.sock" \
  "$site/holder/pid" "$site/dns/release" 512 || failed=1
busy="$(grep -cE "^varpage\[[0-9]+\]: warning: all 512 workers are busy: new connections wait in the socket's queue until one is free\$" "$site/varpage.log" || true)"
free="$(grep -cE '^varpage\[[0-9]+\]: info: workers free again after [0-9]+\.[0-9] s with all busy$' "$site/varpage.log" || true)"
if [ "$busy" = 1 ] && [ "$free" = 1 ]; then
  echo "ok: one line for all workers busy, one for free again"
else
  echo "FAILED: $busy lines for all workers busy, $free for free again, in:"
  cat "$site/varpage.log"
  failed=1
fi
PYTHONPATH="$here" python3 "$here/fastcgi_log.py" --doc "$VARPAGE_ROOT/docs/troubleshooting.md" \
  "$site/varpage.log" workers || failed=1
wait "$busy_and_idle" || failed=1
cat "$site/busy-and-idle.txt"
wait "$missed_wake" || failed=1
cat "$site/missed-wake.txt"
exit $failed
