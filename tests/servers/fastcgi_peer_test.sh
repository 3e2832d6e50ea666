#!/bin/bash
# varpage in FastCGI mode against hand-made peers on a unix socket: exact
# records in and out, hostile and broken input (see fastcgi_peer.py).
#   fastcgi_peer_test.sh PATH-TO-VARPAGE
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/python3
# The host row looks up 127.0.0.1.
offline_or_loopback_in_hosts "$0" "$@"
exec python3 "$here/fastcgi_peer.py" "$1"
