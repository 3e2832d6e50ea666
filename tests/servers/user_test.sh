#!/bin/bash
# Who serves and who runs varpage: with the server started as root, as
# docs/servers.md starts it, every process that handles requests must run as
# www-data; only nginx's and Apache's master processes, which handle none,
# stay root. varpage, where spawn-fcgi starts it (FastCGI behind nginx and
# Apache, or fcgiwrap, whose CGI child it is), runs as a system user of its
# own, varpage, that the header adds, with no user or group of www-data's;
# where the server starts it itself (a CGI program of lighttpd, Apache or
# BusyBox, lighttpd's bin-path), it runs as the server's www-data, as every
# program those servers start does. varpage is caught in the middle of a request
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

# Every process of the servers' sessions, varpage among them, while it
# waits, and the users and groups of varpage and fcgiwrap.
processes="$(ps -o pid=,sid=,user=,comm= -s "$sessions")"
ids=()
while read -r pid sid user command; do
  case "$command" in
    varpage | fcgiwrap) ids+=("$command ($pid) $(grep -E '^(Uid|Gid|Groups):' "/proc/$pid/status" | tr -s '\t\n' '  ')") ;;
  esac
done <<<"$processes"
touch "$site/dns/release"
wait "$client" || true
kill "$resolver" 2>/dev/null || true

echo "$processes" | sed 's/^/  /'
case "$server" in
  nginx | nginx_fastcgi | apache_fastcgi) program_user=varpage ;;
  *) program_user=www-data ;;
esac
varpages=0
while read -r pid sid user command; do
  want=www-data
  case "$command" in
    varpage) varpages=$((varpages + 1)) want="$program_user" ;;
    fcgiwrap) want="$program_user" ;;
  esac
  if [ "$user" = "$want" ]; then continue; fi
  # The masters of nginx and Apache bind the port, then hand every request
  # to their workers.
  if [ "$pid" = "$sid" ] && [ "$user" = root ] && { [ "$command" = nginx ] || [ "$command" = apache2 ]; }; then
    echo "ok: $command master (pid $pid) is root and handles no requests"
    continue
  fi
  fail "$command (pid $pid) runs as $user, not $want"
done <<<"$processes"
if [ "$varpages" -ge 1 ]; then echo "ok: varpage caught in a request: $varpages process(es)"; else
  fail "no varpage among the servers' processes during the request"; fi
[ "$failed" = 0 ] && echo "ok: the server's workers run as www-data, varpage as $program_user"
# A user of its own shares no id with the web server: not its user, not its
# group, not as a supplementary group.
if [ "$program_user" = varpage ]; then
  www_ids=" $(id -u www-data) $(id -g www-data) "
  for line in "${ids[@]}"; do
    shared=""
    for id in ${line#*)}; do
      [[ "$id" =~ ^[0-9]+$ ]] && [[ "$www_ids" == *" $id "* ]] && shared="$shared $id"
    done
    if [ -z "$shared" ]; then echo "ok: ${line%%)*}) has no id of www-data's: ${line#*) }"; else
      fail "${line%%)*}) shares ids with www-data ($shared): ${line#*) }"; fi
  done
fi
page="$(cat "$site/page.html")"
if [[ "$page" == *$'\t\t\tslow-client.test\r\n'* ]]; then echo "ok: the request waited for its lookup and got its page"; else
  fail "the request in flight: $(tail -c 300 <<<"$page")"; fi
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
