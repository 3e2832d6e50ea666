#!/bin/bash
# Runs a command in new network and mount namespaces with HOSTS bind-mounted
# over /etc/hosts: lookups answer from HOSTS, and what it lacks goes to a
# resolver that no network reaches. The command learns the file's path from
# VARPAGE_OWN_HOSTS.
#   with_own_hosts.sh HOSTS COMMAND...
# Exits 77 (skipped) with the reason where the namespaces cannot be made.
set -euo pipefail

hosts="$(realpath "$1")"
shift
if ! reason="$(unshare -n -m -- mount --bind "$hosts" /etc/hosts 2>&1)"; then
  echo "SKIPPED: cannot bind-mount a hosts file in new network and mount namespaces: $reason"
  exit 77
fi
exec unshare -n -m -- sh -c 'mount --bind "$0" /etc/hosts && VARPAGE_OWN_HOSTS="$0" exec "$@"' \
  "$hosts" "$@"
