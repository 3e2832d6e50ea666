#!/bin/bash
# A burst on one varpage FastCGI process, held on its socket as a socket unit
# holds it, with the open-file limit systemd gives services (1024): 512
# requests at once, each waiting in a reverse lookup that only a slow
# resolver answers (slow_resolver.py, on 127.0.0.1:53 of a network and mount
# namespace of the test's own). Every page must come whole, host name
# included; a minute or so after the connections close, the process must be
# back near a fresh one's threads and address space. Prints the numbers
# (bench/run does not: the timing here is the program's, not measured).
#   burst_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/python3 /bin/ps
if [ -z "${VARPAGE_SLOW_RESOLVER:-}" ]; then
  if ! unshare -n -m true 2>/dev/null; then
    echo "SKIPPED: no network and mount namespace can be made here"
    exit 77
  fi
  VARPAGE_SLOW_RESOLVER=1 VARPAGE_OFFLINE=1 exec unshare -n -m -- \
    bash -c 'ip link set lo up && exec bash "$@"' bash "$0" "$@"
fi

open_site "$varpage"
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$site/resolv.conf"
printf 'hosts: files dns\n' >"$site/nsswitch.conf"
if ! mount --bind "$site/resolv.conf" /etc/resolv.conf ||
   ! mount --bind "$site/nsswitch.conf" /etc/nsswitch.conf; then
  echo "SKIPPED: cannot bind-mount over /etc/resolv.conf and /etc/nsswitch.conf"
  exit 77
fi
mkdir "$site/dns"
spawn python3 "$here/slow_resolver.py" "$site/dns" slow-client.test
for i in $(seq 100); do [ -e "$site/dns/ready" ] && break; sleep 0.1; done
if [ ! -e "$site/dns/ready" ]; then echo "FAILED: the resolver did not start"; exit 1; fi

# The soft limit a systemd service gets; the hard one stays as it is.
if ! ulimit -S -n 1024; then
  echo "SKIPPED: cannot set the open-file soft limit to 1024"
  exit 77
fi
start_held_varpage "$site"
PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" burst "$site/varpage.sock" \
  "$site/holder/pid" "$site/dns/release" 512
