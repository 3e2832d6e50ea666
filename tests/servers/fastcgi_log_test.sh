#!/bin/bash
# What varpage in FastCGI mode writes on standard error and sends to systemd
# (see fastcgi_log.py), offline: peers bind 127.0.0.2 and up, and nothing
# they do may reach beyond the machine.
#   fastcgi_log_test.sh PATH-TO-VARPAGE VERSION PATH-TO-TROUBLESHOOTING-MD
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/python3 /usr/bin/strace
offline_or_loopback_in_hosts "$0" "$@"
PYTHONPATH="$here" exec python3 "$here/fastcgi_log.py" "$@"
