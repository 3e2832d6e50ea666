#!/bin/bash
# varpage in FastCGI mode under strace, through its lookup paths, against the
# SystemCallFilter= of its systemd unit (see syscall_filter.py). Runs in a
# network and mount namespace of its own, whose hosts file, resolv.conf and
# nsswitch.conf are the test's, with a DNS server on 127.0.0.1:53. Given the
# service's TCP drop-in, on TCP where the drop-ins say (see there).
#   syscall_filter_test.sh PATH-TO-VARPAGE PATH-TO-varpage.service.in [PATH-TO-DROP-IN]
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/python3 /usr/bin/strace /usr/bin/systemd-analyze
varpage="$(realpath "$1")"
unit="$(realpath "$2")"
[ -n "${3:-}" ] && unit="$unit,$(realpath "$3")"
if [ -z "${VARPAGE_OFFLINE:-}" ]; then
  if ! unshare -n -m true 2>/dev/null; then
    echo "SKIPPED: no network and mount namespace can be made here"
    exit 77
  fi
  VARPAGE_OFFLINE=1 exec unshare -n -m -- bash -c 'ip link set lo up && exec bash "$@"' bash "$0" "$@"
fi
if ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "SKIPPED: strace cannot trace here (ptrace refused)"
  exit 77
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
printf '%s\n' '127.0.0.1 localhost' '::1 localhost' '192.0.2.10 hosts-v4.test' \
  '2001:db8::10 hosts-v6.test' >"$work/hosts"
printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:1\n' >"$work/resolv.conf"
printf 'hosts: files dns\n' >"$work/nsswitch.conf"
for file in hosts resolv.conf nsswitch.conf; do
  chmod 644 "$work/$file"
  if ! mount --bind "$work/$file" "/etc/$file"; then
    echo "SKIPPED: cannot bind-mount over /etc/$file"
    exit 77
  fi
done
# The drop-ins' addresses, the web server's and the backend's, and a
# stranger's, on this namespace's loopback interface.
if [[ "$unit" == *,* ]]; then
  for address in 192.0.2.10 192.0.2.11 192.0.2.21; do ip addr add "$address/32" dev lo; done
fi
python3 "$here/syscall_filter.py" "$varpage" "$unit" "$work"
