#!/bin/bash
# Real servers reached over IPv6 hand varpage an IPv6 REMOTE_ADDR, and the
# page ends with that client's host name: lighttpd and Apache listening on
# [::1], asked at [::1]; nginx listening dual-stack on [::] and asked over
# 127.0.0.1, which hands over ::ffff:127.0.0.1, looked up as 127.0.0.1. All
# in namespaces of the test's own with tests/own_hosts as /etc/hosts.
#   ipv6_test.sh lighttpd|apache|nginx PATH-TO-VARPAGE
# Exits 77 (skipped) with the reason when something it needs is missing.
set -euo pipefail

server="$1"
varpage="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
case "$server" in
  lighttpd | apache | nginx) skip_unless_server_installed "$server" ;;
  *) echo "unknown server $server" >&2; exit 2 ;;
esac
skip_unless_installed /usr/bin/curl /usr/bin/python3 /usr/sbin/ip
if ! go_offline_with_hosts "$here/../own_hosts" "$0" "$@"; then
  echo "SKIPPED: cannot make network and mount namespaces with a hosts file of the test's own"
  exit 77
fi
if ! ip -6 addr show dev lo | grep -q 'inet6 ::1/128'; then
  echo "SKIPPED: the loopback interface has no ::1 here"
  exit 77
fi

case "$server" in
  lighttpd) LISTEN_EDIT='s|^server.bind = "127.0.0.1"$|server.bind = "[::1]"|' ;;
  apache) LISTEN_EDIT='s|^Listen 127.0.0.1:|Listen [::1]:|' ;;
  nginx) LISTEN_EDIT='s|listen 127.0.0.1:8080;|listen [::]:8080 ipv6only=off;|' ;;
esac
LISTEN_HOST='[::1]'
open_site "$varpage"
"start_$server" "$site" "$port"

failed=0
row() { printf '\t<tr>\r\n\t\t<td>%s</td>\r\n\t\t<td>%s</td>\r\n\t</tr>\r\n' "$1" "$2"; }
last_row() {
  printf '\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t%s\r\n\t\t</td>\r\n\t</tr>\r\n</tbody>\r\n</table>\r\n</body>\r\n</html>' "$1"
}
# check HOST REMOTE_ADDR NAME: asks at HOST; the page must show the address
# and end with the name.
check() {
  local page
  page="$(curl -s -g "http://$1:$port/cgi-bin/varpage")"
  if [[ "$page" == *"$(row REMOTE_ADDR "$2")"* ]] && [[ "$page" == *"$(last_row "$3")" ]]; then
    echo "ok: asked at $1, REMOTE_ADDR $2 and the row $3"
  else
    echo "FAILED: asked at $1, expected REMOTE_ADDR $2 and the row $3; page ends: $(tail -c 250 <<<"$page" | tr -d '\r\t' | tr '\n' ' ')"
    failed=1
  fi
}

check '[::1]' ::1 v6-loopback.test
# Dual-stack: an IPv4 client arrives as an IPv4-mapped address.
[ "$server" = nginx ] && check 127.0.0.1 ::ffff:127.0.0.1 v4-loopback.test
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
