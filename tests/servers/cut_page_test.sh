#!/bin/bash
# A page cut short never reaches the client looking whole. While the reverse
# lookup of a client from 127.0.0.2 hangs at a slow resolver (slow_resolver.py,
# in a network and mount namespace of the test's own), the request fails:
#   nginx_fastcgi  varpage serving FastCGI behind nginx is killed (SIGKILL): 502
#   nginx          nginx gives up on varpage as a CGI program (fcgiwrap) after
#                  its fastcgi_read_timeout: 504
#   apache         Apache gives up on the CGI program after its Timeout: 504
#   cgi            varpage run as a CGI program by the test itself is killed
#                  (SIGKILL): its standard output stays empty
# and the client gets the server's error page, no byte of varpage's page. The
# page is larger than the program's own 16 KiB buffer (SIZE small: request
# headers of some kilobytes), or well past 256 KiB (SIZE large: more headers,
# or under nginx parameters that repeat them, from a file extra-large.conf as
# docs/servers.md has rules added): nothing of either leaves before the
# lookup. A client from 127.0.0.1 (named in /etc/hosts) gets the same page
# whole first, so the error is the cut and not the set-up.
#   cut_page_test.sh SERVER SIZE PATH-TO-VARPAGE
set -euo pipefail

server="$1"
size="$2"
varpage="$3"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
case "$server" in
  nginx_fastcgi) expected=502 ;;
  nginx | apache) expected=504 ;;
  cgi) expected= ;;
  *)
    echo "unknown server $server" >&2
    exit 2
    ;;
esac
case "$size" in
  small) least=16384 ;;
  large) least=$((256 * 1024)) ;;
  *)
    echo "unknown size $size" >&2
    exit 2
    ;;
esac
[ "$server" = cgi ] || skip_unless_server_installed "$server"
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

# Headers of 6,000 bytes each, every line of them different: within what
# each server takes in a request's header. For a large page, headers of
# 7,000 bytes, nearly all '&' (five bytes on the page): 60 of them, but
# nginx takes only a few, and passes 64 KiB of parameters at the most, so
# there a parameter repeats its three.
headers=3
if [ "$size" = large ]; then
  case "$server" in
    nginx | nginx_fastcgi)
      printf 'fastcgi_param VARPAGE_LARGE "%s";\n' \
        '$http_x_large_1$http_x_large_2$http_x_large_3$http_x_large_1$http_x_large_2' \
        >"$site/extra-large.conf"
      ;;
    *) headers=60 ;;
  esac
fi
large=()
ampersands="$(printf '%7000s' '' | tr ' ' '&')"
for header in $(seq "$headers"); do
  if [ "$size" = large ]; then
    value="$header:$ampersands"
    large+=(-H "X-Large-$header: ${value:0:7000}")
  else
    value="$(seq -s . $((header * 10000)) $((header * 10000 + 1000)))"
    large+=(-H "X-Large-$header: ${value:0:6000}")
  fi
done

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

# ask SOURCE QUERY OUT: the page for a client from SOURCE, into OUT (its
# status into OUT.status), through the server; under cgi from varpage run as
# a server runs it, the headers among its variables. In the background, its
# pid in $asker (under cgi, varpage's own).
ask() {
  local source="$1" query="$2" out="$3"
  if [ "$server" = cgi ]; then
    local variables=(GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET "QUERY_STRING=$query"
      "REMOTE_ADDR=$source") each header name
    for ((each = 1; each < ${#large[@]}; each += 2)); do
      header="${large[each]}"
      name="${header%%:*}"
      variables+=("HTTP_X_LARGE_${name#X-Large-}=${header#*: }")
    done
    env -i "${variables[@]}" "$site/cgi-bin/varpage" >"$out" &
  else
    curl -s --max-time 60 --interface "$source" "${large[@]}" -o "$out" -w '%{http_code}' \
      "$url?$query" >"$out.status" &
  fi
  asker=$!
}
failed=0

ask 127.0.0.1 whole "$site/whole.html"
wait "$asker" || true
bytes="$(wc -c <"$site/whole.html")"
if grep -q '<td>whole</td>' "$site/whole.html" && [ "$(tail -c 7 "$site/whole.html")" = '</html>' ] &&
   [ "$bytes" -gt "$least" ]; then
  echo "ok: a client from 127.0.0.1 gets its page whole ($bytes bytes)"
else
  echo "FAILED: the page for 127.0.0.1 ($bytes bytes): $(tail -c 300 "$site/whole.html")"
  exit 1
fi

ask 127.0.0.2 cut "$site/cut.html"
for i in $(seq 300); do [ -e "$site/dns/asked" ] && break; sleep 0.1; done
if [ ! -e "$site/dns/asked" ]; then echo "FAILED: the slow lookup never reached the resolver"; exit 1; fi
case "$server" in
  nginx_fastcgi)
    kill -KILL "$varpage_pid"
    echo "ok: varpage killed during the lookup"
    ;;
  cgi)
    kill -KILL "$asker"
    echo "ok: varpage killed during the lookup"
    ;;
esac
asker_exit=0
wait "$asker" 2>/dev/null || asker_exit=$?

if [ "$server" = cgi ]; then
  if [ -s "$site/cut.html" ]; then
    echo "FAILED: varpage had written $(wc -c <"$site/cut.html") bytes: $(head -c 300 "$site/cut.html")"
    exit 1
  fi
  echo "ok: no byte of the page had left"
  exit 0
fi

status="$(cat "$site/cut.html.status")"
body="$(cat "$site/cut.html")"
# curl's exit status 0: the server ended its response properly, with an error
# of its own.
if [ "$status" = "$expected" ] && [ "$asker_exit" = 0 ]; then
  echo "ok: the client got $status"
else
  echo "FAILED: the client got status $status (curl exit $asker_exit), not $expected"
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
