#!/bin/bash
# Loads varpage through lighttpd in headless Chromium and checks the page as
# the browser built it.
#   browser_test.sh PATH-TO-VARPAGE
# Exits 77 (skipped) with the reason when Chromium or lighttpd is missing.
set -euo pipefail

varpage="$1"
here="$(dirname "$0")"
source "$here/../../scripts/lib/servers.sh"
source "$here/../../scripts/lib/chromium.sh"

skip_unless_installed /usr/bin/chromium /usr/sbin/lighttpd /usr/bin/curl /usr/bin/python3
offline_or_loopback_in_hosts "$0" "$@"
open_site "$varpage"
start_lighttpd "$site" "$port"

chromium_headless "$site/profile" --user-agent='<img src=x onerror=alert(1)>Probe&amp;' \
  --dump-dom "http://127.0.0.1:$port/cgi-bin/varpage?a=1&b=%3Cq%3E" >"$site/dom.html"
dom="$(cat "$site/dom.html")"

failed=0
check() {  # check DESCRIPTION NEEDLE
  if [[ "$dom" == *"$2"* ]]; then echo "ok: $1"; else
    echo "FAILED: $1: no $(printf '%q' "$2")"; failed=1; fi
}
check "title" "<title>Environment Variable List</title>"
check "heading" "<h1>Environment Variable List</h1>"
check "header row" $'<th>environment variable name</th>\n\t\t<th>environment variable value</th>'
# The browser's own serialisation of the text it parsed from the cell.
check "user agent shown as text" \
  $'<td>HTTP_USER_AGENT</td>\n\t\t<td>&lt;img src=x onerror=alert(1)&gt;Probe&amp;amp;</td>'
if [[ "$dom" == *"<img"* ]]; then echo "FAILED: an element was made from the user agent"; failed=1
else echo "ok: no element made from the user agent"; fi
check "query string" $'<td>QUERY_STRING</td>\n\t\t<td>a=1&amp;b=%3Cq%3E</td>'

name="$(loopback_name)"
if [ -n "$name" ]; then
  last_rows="${dom##*<tr>}"
  if [[ "$last_rows" == *"HostName from IPaddr"*"$name"*"</tbody>"* ]]; then
    echo "ok: host-name row last"
  else
    echo "FAILED: host-name row last: $(printf '%q' "$last_rows")"
    failed=1
  fi
fi
[ "$failed" = 0 ] || { echo "--- DOM ---"; cat "$site/dom.html"; }
exit $failed
