#!/bin/bash
# varpage in FastCGI mode: its log lines where they must not go wrong
# (see event_log_peer.py). Loopback only, and no request asks for a lookup.
#   event_log_test.sh PATH-TO-VARPAGE
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/python3
exec python3 "$here/event_log_peer.py" "$1"
