#!/bin/bash
# One varpage FastCGI process behind nginx while a reverse lookup hangs: a
# client from 127.0.0.2, whose name only the (slow) resolver knows, waits for
# its page; meanwhile clients from 127.0.0.1 get theirs whole. Runs in a
# network and mount namespace of its own, with a resolver on 127.0.0.1:53
# (slow_resolver.py) that answers only when the fast clients are done.
#   slow_lookup_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/sbin/nginx /usr/bin/spawn-fcgi /usr/sbin/adduser /usr/bin/curl /usr/bin/python3
go_offline_with_own_resolver "$0" "$@"

open_site "$varpage"
start_slow_resolver "$site"
start_nginx_fastcgi "$site" "$port"

url="http://127.0.0.1:$port/cgi-bin/varpage"
tail_rows() {  # tail_rows HOST-NAME: the host row and the end of the page
  printf '\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t%s\r\n\t\t</td>\r\n\t</tr>\r\n</tbody>\r\n</table>\r\n</body>\r\n</html>' "$1"
}
failed=0

curl -s --max-time 60 --interface 127.0.0.2 -o "$site/slow.html" "$url?slow" &
slow=$!
for i in $(seq 300); do [ -e "$site/dns/asked" ] && break; sleep 0.1; done
if [ ! -e "$site/dns/asked" ]; then echo "FAILED: the slow lookup never reached the resolver"; exit 1; fi

for i in $(seq 5); do
  page="$(curl -s --max-time 20 --interface 127.0.0.1 "$url?fast=$i" || true)"
  if [[ "$page" == *"<td>fast=$i</td>"* ]] && [[ "$page" == *"$(tail_rows localhost)" ]]; then
    echo "ok: fast client $i served while the lookup of 127.0.0.2 waits"
  else
    echo "FAILED: fast client $i: $(tail -c 300 <<<"$page")"
    failed=1
  fi
done
if kill -0 "$slow" 2>/dev/null; then echo "ok: the slow client was still waiting"; else
  echo "FAILED: the slow client was done before the resolver answered"; failed=1; fi

touch "$site/dns/release"
wait "$slow" || true
slow_page="$(cat "$site/slow.html")"
if [[ "$slow_page" == *"<td>127.0.0.2</td>"* ]] && [[ "$slow_page" == *"$(tail_rows slow-client.test)" ]]; then
  echo "ok: the slow client got its page with its host name"
else
  echo "FAILED: slow client: $(tail -c 300 <<<"$slow_page")"
  failed=1
fi
exit $failed
