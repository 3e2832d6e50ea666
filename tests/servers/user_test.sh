#!/bin/bash
# Who serves and who runs varpage: with the server started as root, as
# docs/servers.md starts it, every process that handles requests, and varpage
# itself, must run as www-data; only nginx's and Apache's master processes,
# which handle none, stay root. varpage is caught in the middle of a request
# (a CGI run lasts only that long): the client comes from 127.0.0.2, whose
# reverse lookup goes to a resolver here (slow_resolver.py) that holds back
# its answer until the processes are counted. Runs in a network and mount
# namespace of its own.
#   user_test.sh lighttpd|apache|nginx|busybox PATH-TO-VARPAGE
#   user_test.sh lighttpd_fastcgi|apache_fastcgi|nginx_fastcgi PATH-TO-VARPAGE
set -euo pipefail

server="$1"
varpage="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_server_installed "$server"
skip_unless_installed /usr/bin/curl /usr/bin/python3
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: only root can start a server that gives up root"
  exit 77
fi
go_offline_with_own_resolver "$0" "$@"

open_site "$varpage"
use_own_resolver "$site"
python3 "$here/slow_resolver.py" "$site/dns" slow-client.test &
resolver=$!
for i in $(seq 100); do [ -e "$site/dns/ready" ] && break; sleep 0.1; done
"start_$server" "$site" "$port"
sessions="$(IFS=,; echo "${SERVER_PIDS[*]}")"

curl -s --max-time 60 --interface 127.0.0.2 -o "$site/page.html" "http://127.0.0.1:$port/cgi-bin/varpage" &
client=$!
for i in $(seq 300); do [ -e "$site/dns/asked" ] && break; sleep 0.1; done
failed=0
fail() { echo "FAILED: $*"; failed=1; }
[ -e "$site/dns/asked" ] || fail "varpage's lookup never reached the resolver"

# Every process of the servers' sessions, varpage among them, while it waits.
processes="$(ps -o pid=,sid=,user=,comm= -s "$sessions")"
touch "$site/dns/release"
wait "$client" || true
kill "$resolver" 2>/dev/null || true

echo "$processes" | sed 's/^/  /'
varpages=0
while read -r pid sid user command; do
  [ "$command" = varpage ] && varpages=$((varpages + 1))
  if [ "$user" = www-data ]; then continue; fi
  # The masters of nginx and Apache bind the port, then hand every request
  # to their workers.
  if [ "$pid" = "$sid" ] && [ "$user" = root ] && { [ "$command" = nginx ] || [ "$command" = apache2 ]; }; then
    echo "ok: $command master (pid $pid) is root and handles no requests"
    continue
  fi
  fail "$command (pid $pid) runs as $user"
done <<<"$processes"
if [ "$varpages" -ge 1 ]; then echo "ok: varpage caught in a request: $varpages process(es)"; else
  fail "no varpage among the servers' processes during the request"; fi
[ "$failed" = 0 ] && echo "ok: the server's workers and varpage run as www-data"
page="$(cat "$site/page.html")"
if [[ "$page" == *$'\t\t\tslow-client.test\r\n'* ]]; then echo "ok: the request waited for its lookup and got its page"; else
  fail "the request in flight: $(tail -c 300 <<<"$page")"; fi
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
