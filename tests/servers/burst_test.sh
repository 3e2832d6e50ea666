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
go_offline_with_own_resolver "$0" "$@"

open_site "$varpage"
start_slow_resolver "$site"

# The soft limit a systemd service gets; the hard one stays as it is.
if ! ulimit -S -n 1024; then
  echo "SKIPPED: cannot set the open-file soft limit to 1024"
  exit 77
fi
start_held_varpage "$site"
PYTHONPATH="$here" python3 "$here/lifecycle_peer.py" burst "$site/varpage.sock" \
  "$site/holder/pid" "$site/dns/release" 512
