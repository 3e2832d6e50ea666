#!/bin/bash
# Serves varpage through a real web server on 127.0.0.1 and checks what a
# client gets back: as a CGI program, or (the *_fastcgi servers) over FastCGI,
# where several requests in a row must each show their own variables only.
#   server_test.sh lighttpd|apache|nginx|busybox PATH-TO-VARPAGE
#   server_test.sh lighttpd_fastcgi|apache_fastcgi|nginx_fastcgi PATH-TO-VARPAGE
# Exits 77 (skipped) with the reason when the server is not installed.
set -euo pipefail

server="$1"
varpage="$2"
source "$(dirname "$0")/../../scripts/lib/servers.sh"

skip_unless_server_installed "$server"
skip_unless_installed /usr/bin/curl /usr/bin/python3
offline_or_loopback_in_hosts "$0" "$@"

site="$(mktemp -d)"
cleanup() {
  stop_servers
  if [ "${failed:-0}" = 1 ] && [ -f "$site/error.log" ]; then
    echo "--- $server error log ---"
    cat "$site/error.log"
  fi
  rm -rf "$site"
}
trap cleanup EXIT
make_site "$site" "$varpage"
port="$(free_port)"
# Marks the environment the servers, and so varpage, are started with: it
# belongs to the process, never on a FastCGI page.
VARPAGE_PROCESS_MARK=process-only "start_$server" "$site" "$port"

curl -s -D "$site/headers" -o "$site/body" \
  -H 'X-Probe: <script>alert(1)</script>&amp;' \
  "http://127.0.0.1:$port/cgi-bin/varpage?a=1&b=%3Cq%3E"
headers="$(cat "$site/headers")"
body="$(cat "$site/body")"

failed=0
check() {  # check DESCRIPTION HAYSTACK NEEDLE
  if [[ "$2" == *"$3"* ]]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: no $(printf '%q' "$3")"
    failed=1
  fi
}
row() { printf '\t<tr>\r\n\t\t<td>%s</td>\r\n\t\t<td>%s</td>\r\n\t</tr>\r\n' "$1" "$2"; }

http_date='[A-Z][a-z][a-z], [0-9][0-9] [A-Z][a-z][a-z] [0-9]{4} [0-9][0-9]:[0-9][0-9]:[0-9][0-9] GMT'
check "status 200" "$(head -n1 <<<"$headers")" " 200"
if grep -qiE $'^content-type: text/html\r$' <<<"$headers"; then echo "ok: content type"; else
  echo "FAILED: content type"; failed=1; fi
for field in Last-Modified Expires; do
  if grep -qE "^$field: $http_date"$'\r$' <<<"$headers"; then echo "ok: $field date"; else
    echo "FAILED: $field date"; failed=1; fi
done
# The line must reach the client as the program wrote it, once.
if [ "$(grep -ciE '^cache-control:' <<<"$headers")" = 1 ] &&
  grep -qE $'^Cache-Control: private\r$' <<<"$headers"; then
  echo "ok: Cache-Control: private"
else
  echo "FAILED: Cache-Control: $(grep -i '^cache-control' <<<"$headers" | tr -d '\r')"; failed=1
fi
check "request header shown escaped" "$body" \
  "$(row HTTP_X_PROBE '&lt;script&gt;alert(1)&lt;/script&gt;&amp;amp;')"
check "query string" "$body" "$(row QUERY_STRING 'a=1&amp;b=%3Cq%3E')"
check "client address" "$body" "$(row REMOTE_ADDR 127.0.0.1)"

name="$(loopback_name)"
if [ -n "$name" ]; then
  last_row="$(printf '\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t%s\r\n\t\t</td>\r\n\t</tr>\r\n</tbody>\r\n</table>\r\n</body>\r\n</html>' "$name")"
  if [[ "$body" == *"$last_row" ]]; then echo "ok: host-name row last"; else
    echo "FAILED: host-name row last"; failed=1; fi
else
  echo "note: /etc/hosts gives 127.0.0.1 no name; host-name row not checked"
fi

if [[ "$server" == *_fastcgi ]]; then
  for word in VARPAGE_PROCESS_MARK FCGI_ROLE; do
    if [[ "$body" == *"$word"* ]]; then echo "FAILED: $word on the page"; failed=1; else
      echo "ok: no $word on the page"; fi
  done
  # Requests in a row through the one varpage process: a header sent only
  # with the first never shows up later, and each shows its own query.
  for i in $(seq 20); do
    extra=()
    [ "$i" = 1 ] && extra=(-H 'X-First-Only: 1')
    page="$(curl -s "${extra[@]}" "http://127.0.0.1:$port/cgi-bin/varpage?n=$i")"
    if [[ "$page" == *"$(row QUERY_STRING "n=$i")"* ]] && [[ "$page" == *"</html>" ]] &&
       { [ "$i" = 1 ] || [[ "$page" != *HTTP_X_FIRST_ONLY* ]]; } &&
       [ "$(grep -c '<td>QUERY_STRING</td>' <<<"$page")" = 1 ]; then
      ok=$((${ok:-0} + 1))
    else
      echo "FAILED: request $i of a row: $(printf '%q' "$(tail -c 400 <<<"$page")")"
      failed=1
    fi
  done
  echo "ok: ${ok:-0} of 20 requests in a row showed their own variables only"
fi

exit $failed
