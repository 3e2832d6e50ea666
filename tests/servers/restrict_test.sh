#!/bin/bash
# Serves varpage with the address restriction of config/restrict/ in place:
# at every path the server serves the page at, a client from the machine
# itself (127.0.0.1, where these servers listen) gets it and any other
# (127.0.0.2) gets 403.
#   restrict_test.sh lighttpd|apache|nginx|busybox PATH-TO-VARPAGE
#   restrict_test.sh lighttpd_fastcgi|apache_fastcgi|nginx_fastcgi PATH-TO-VARPAGE
# (the FastCGI configurations take the same restrictions as their servers)
set -euo pipefail

server="$1"
varpage="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_server_installed "$server"
skip_unless_installed /usr/bin/curl /usr/bin/python3
# The refused client, 127.0.0.2, is not in /etc/hosts: should it get the
# page, its lookup must find no network to go to.
if ! go_offline "$0" "$@"; then
  echo "SKIPPED: no empty network namespace can be made here"
  exit 77
fi

open_site "$varpage"
allowed=127.0.0.1
denied=127.0.0.2
# BusyBox takes its configuration with -c, from outside the folder it
# serves; the others include it. The stand-alone lighttpd serves nothing but
# the page, at every folder's URL too: its rule covers the whole server.
extra="$site/extra-restrict.conf"
[ "$server" = busybox ] && extra="$site/busybox.conf"
restriction="${server%_fastcgi}"
[ "$server" = lighttpd ] && restriction=lighttpd-whole-server
cp "$VARPAGE_ROOT/config/restrict/$restriction.conf" "$extra"
"start_$server" "$site" "$port"

# Every path the server's configuration serves the page at, with path info,
# a query and the spellings a server normalises (a doubled slash, a
# percent-encoded letter).
page_paths=(/cgi-bin/varpage /cgi-bin/varpage/more '/cgi-bin/varpage?q=1' /cgi-bin//varpage
  /%63gi-bin/varpage /cgi-bin/varpag%65)
# lighttpd's index-file.names serves it for folders too.
[ "$server" = lighttpd ] && page_paths+=(/ '/?q=1' /cgi-bin/)
# Asked as well where the page is not served: nobody may get it there.
other_paths=()
[ "$server" = lighttpd ] || other_paths+=(/ '/?q=1')

failed=0
fail() { echo "FAILED: $*"; failed=1; }
# ask ADDRESS PATH: sets $code and $body.
ask() {
  local reply
  reply="$(curl -s --path-as-is -w '\n%{http_code}' --interface "$1" "http://127.0.0.1:$port$2")"
  code="${reply##*$'\n'}"
  body="${reply%$'\n'*}"
}
is_page() { [[ "$body" == *"<td>REMOTE_ADDR</td>"* ]]; }

for path in "${page_paths[@]}"; do
  ask "$denied" "$path"
  if [ "$code" = 403 ] && ! is_page; then echo "ok: $denied refused $path"; else
    fail "$denied got $code for $path$(is_page && echo ', with the page')"; fi
  ask "$allowed" "$path"
  if [ "$code" = 200 ] && [[ "$body" == *"<td>REMOTE_ADDR</td>"$'\r\n\t\t'"<td>$allowed</td>"* ]]; then
    echo "ok: $allowed served $path"
  else
    fail "$allowed not served $path ($code): $(tail -c 300 <<<"$body")"
  fi
done
for path in "${other_paths[@]}"; do
  for address in "$denied" "$allowed"; do
    ask "$address" "$path"
    if ! is_page; then echo "ok: no page at $path for $address ($code)"; else
      fail "$address got the page at $path"; fi
  done
done
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
