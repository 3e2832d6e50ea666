#!/bin/bash
# Serves varpage with the address restriction of config/restrict/ in place:
# a client from the allowed address gets the page, any other gets 403.
#   restrict_test.sh lighttpd|apache|nginx|busybox PATH-TO-VARPAGE
#   restrict_test.sh lighttpd_fastcgi|apache_fastcgi|nginx_fastcgi PATH-TO-VARPAGE
# (the FastCGI configurations take the same restrictions as their servers)
set -euo pipefail

server="$1"
varpage="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
case "$server" in
  lighttpd) skip_unless_installed /usr/sbin/lighttpd ;;
  apache) skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_authz_host.so ;;
  nginx) skip_unless_installed /usr/sbin/nginx /usr/sbin/fcgiwrap ;;
  busybox) skip_unless_installed /bin/busybox ;;
  lighttpd_fastcgi) skip_unless_installed /usr/sbin/lighttpd ;;
  apache_fastcgi)
    skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_authz_host.so \
      /usr/lib/apache2/modules/mod_proxy_fcgi.so /usr/bin/spawn-fcgi ;;
  nginx_fastcgi) skip_unless_installed /usr/sbin/nginx /usr/bin/spawn-fcgi ;;
  *) echo "unknown server $server" >&2; exit 2 ;;
esac
skip_unless_installed /usr/bin/curl /usr/bin/python3
# The allowed client, 127.0.0.2, is not in /etc/hosts: its lookup must find
# no network to go to.
if ! go_offline "$0" "$@"; then
  echo "SKIPPED: no empty network namespace can be made here"
  exit 77
fi

open_site "$varpage"
allowed=127.0.0.2
# BusyBox reads httpd.conf from its home directory; the others include it.
extra="$site/extra-restrict.conf"
[ "$server" = busybox ] && extra="$site/htdocs/httpd.conf"
sed "s|@ALLOWED@|$allowed|g" "$VARPAGE_ROOT/config/restrict/${server%_fastcgi}.conf" >"$extra"
"start_$server" "$site" "$port"

url="http://127.0.0.1:$port/cgi-bin/varpage"
failed=0
denied="$(curl -s -o /dev/null -w '%{http_code}' --interface 127.0.0.1 "$url")"
if [ "$denied" = 403 ]; then echo "ok: 127.0.0.1 refused"; else
  echo "FAILED: 127.0.0.1 got $denied, not 403"; failed=1; fi
page="$(curl -s -w '\n%{http_code}' --interface "$allowed" "$url")"
if [ "${page##*$'\n'}" = 200 ] && [[ "$page" == *"<td>REMOTE_ADDR</td>"$'\r\n\t\t'"<td>$allowed</td>"* ]]; then
  echo "ok: $allowed served"
else
  echo "FAILED: $allowed not served: $(tail -c 300 <<<"$page")"
  failed=1
fi
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
