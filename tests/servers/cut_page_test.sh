#!/bin/bash
# A page cut short never reaches the client looking whole. While the reverse
# lookup of a client from 127.0.0.2 hangs at a slow resolver (slow_resolver.py,
# in a network and mount namespace of the test's own), the request fails:
#   nginx_fastcgi  varpage serving FastCGI behind nginx is killed (SIGKILL): 502
#   nginx          nginx gives up on varpage as a CGI program (fcgiwrap) after
#                  its fastcgi_read_timeout: 504
#   apache         Apache gives up on the CGI program after its Timeout: 504
# and the client gets the server's error page, no byte of varpage's page. The
# page is larger than the program's own 16 KiB buffer (request headers of some
# kilobytes), as held pages may be. A client from 127.0.0.1 (named in
# /etc/hosts) gets the same page whole first, so the error is the cut and not
# the set-up.
#   cut_page_test.sh SERVER PATH-TO-VARPAGE
set -euo pipefail

server="$1"
varpage="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
case "$server" in
  nginx_fastcgi) expected=502 ;;
  nginx | apache) expected=504 ;;
  *)
    echo "unknown server $server" >&2
    exit 2
    ;;
esac
skip_unless_server_installed "$server"
skip_unless_installed /usr/bin/curl /usr/bin/python3
go_offline_with_own_resolver "$0" "$@"
if [ -z "$(loopback_name)" ]; then
  echo "SKIPPED: /etc/hosts does not name 127.0.0.1, which the whole page is asked for"
  exit 77
fi

open_site "$varpage"
start_slow_resolver "$site"
# Let the slow lookup go on the way out, so the program it holds ends too.
trap 'touch "$site/dns/release"; stop_servers; rm -rf "$site"' EXIT

case "$server" in
  nginx_fastcgi)
    start_nginx_fastcgi "$site" "$port"
    # spawn-fcgi -n becomes varpage itself.
    varpage_pid="${SERVER_PIDS[-2]}"
    if [ "$(readlink "/proc/$varpage_pid/exe")" != "$site/cgi-bin/varpage" ]; then
      echo "FAILED: process $varpage_pid is not the varpage that serves nginx"
      exit 1
    fi
    ;;
  nginx)
    printf 'fastcgi_read_timeout 2s;\n' >"$site/extra-timeout.conf"
    start_nginx "$site" "$port"
    ;;
  apache)
    printf 'Timeout 2\n' >"$site/extra-timeout.conf"
    start_apache "$site" "$port"
    ;;
esac
url="http://127.0.0.1:$port/cgi-bin/varpage"
failed=0
# Three headers of 6,000 bytes each, every line of them different: within
# what each server takes in a request's header.
large=()
for header in 1 2 3; do
  value="$(seq -s . $((header * 10000)) $((header * 10000 + 1000)))"
  large+=(-H "X-Large-$header: ${value:0:6000}")
done

page="$(curl -s --max-time 20 --interface 127.0.0.1 "${large[@]}" "$url?whole" || true)"
if [[ "$page" == *"<td>whole</td>"* ]] && [[ "$page" == *"</html>" ]] && [ "${#page}" -gt 16384 ]; then
  echo "ok: a client from 127.0.0.1 gets its page whole (${#page} bytes)"
else
  echo "FAILED: the page for 127.0.0.1: $(tail -c 300 <<<"$page")"
  exit 1
fi

curl -s --max-time 60 --interface 127.0.0.2 "${large[@]}" -o "$site/cut.html" -w '%{http_code}' \
  "$url?cut" >"$site/cut.status" &
client=$!
for i in $(seq 300); do [ -e "$site/dns/asked" ] && break; sleep 0.1; done
if [ ! -e "$site/dns/asked" ]; then echo "FAILED: the slow lookup never reached the resolver"; exit 1; fi
if [ "$server" = nginx_fastcgi ]; then
  kill -KILL "$varpage_pid"
  echo "ok: varpage killed during the lookup"
fi
curl_exit=0
wait "$client" || curl_exit=$?
status="$(cat "$site/cut.status")"
body="$(cat "$site/cut.html")"

# curl's exit status 0: the server ended its response properly, with an error
# of its own.
if [ "$status" = "$expected" ] && [ "$curl_exit" = 0 ]; then
  echo "ok: the client got $status"
else
  echo "FAILED: the client got status $status (curl exit $curl_exit), not $expected"
  failed=1
fi
if [[ "$body" == *"<td>"* ]] || [[ "$body" == *"Environment Variable List"* ]] ||
   [[ "$body" == *"Content-type"* ]]; then
  echo "FAILED: part of the page reached the client: $(head -c 300 <<<"$body")"
  failed=1
else
  echo "ok: no byte of the page reached the client ($(wc -c <"$site/cut.html") bytes of error page)"
fi
exit $failed
