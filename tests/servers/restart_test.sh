#!/bin/bash
# varpage restarted under load, as `systemctl restart` does it: the socket is
# held by a parent (socket_holder.py, standing for the socket unit), and each
# restart is SIGTERM, wait for the process to end, start a new one. nginx in
# front, wrk at 16 connections for the whole run, every response checked
# (status 200, body ending with </html>): not one may be lost or cut. Once
# with the documented configuration (a connection per request), once with
# kept connections (an upstream with keepalive and fastcgi_keep_conn), which
# a stopping process closes between requests. No timing is judged here.
#   restart_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/sbin/nginx /usr/bin/wrk /usr/bin/curl /usr/bin/python3
offline_or_loopback_in_hosts "$0" "$@"
open_site "$varpage"
start_held_varpage "$site"

# The documented configuration, and the same with kept connections.
documented="$(render_config fastcgi/nginx "$site" "$port")"
kept_port="$(free_port)"
cat >"$site/nginx-kept.conf" <<EOF
daemon off;
pid $site/nginx-kept.pid;
error_log $site/error-kept.log;
events {}
http {
  access_log off;
  upstream varpage {
    server unix:$site/varpage.sock;
    keepalive 16;
  }
  server {
    listen 127.0.0.1:$kept_port;
    location /cgi-bin/varpage {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass varpage;
      fastcgi_keep_conn on;
    }
  }
}
EOF
spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$documented"
spawn /usr/sbin/nginx -e "$site/error-kept.log" -p "$site" -c "$site/nginx-kept.conf"
wait_for_port "$port" "${SERVER_PIDS[-2]}"
wait_for_port "$kept_port" "${SERVER_PIDS[-1]}"

restarts=5
failed=0
# load_with_restarts NAME PORT: wrk for the whole run, a restart a second.
load_with_restarts() {
  local name="$1" server_port="$2" load line checked bad errors exits exits_before i
  wrk -t2 -c16 -d$((restarts + 2))s -s "$here/../../bench/check.lua" \
    "http://127.0.0.1:$server_port/cgi-bin/varpage?q=%3Cx%3E" >"$site/wrk-$name.txt" &
  load=$!
  exits_before="$(grep -c '^exited ' "$site/holder/log" || true)"
  for i in $(seq "$restarts"); do
    sleep 1
    holder "$site" restart
  done
  wait "$load"
  line="$(grep '^checked' "$site/wrk-$name.txt")"
  read -r _ checked _ bad _ errors _ <<<"$line"
  exits="$(grep '^exited ' "$site/holder/log" | tail -n +"$((exits_before + 1))" | awk '{ print $3 }' | sort | uniq -c | tr -s ' \n' ' ')"
  echo "$name: $restarts restarts under load: $checked responses, $bad bad, $errors errors; exit statuses (count status):$exits"
  if [ "$checked" -gt 0 ] && [ "$bad" = 0 ] && [ "$errors" = 0 ] && [ "$exits" = " $restarts 0 " ]; then
    echo "ok: $name: none lost, none cut, every process ended with status 0"
  else
    echo "FAILED: $name"
    cat "$site/wrk-$name.txt"
    failed=1
  fi
}
load_with_restarts documented "$port"
load_with_restarts kept "$kept_port"

# The last process still answers, through both.
for server_port in "$port" "$kept_port"; do
  page="$(curl -s "http://127.0.0.1:$server_port/cgi-bin/varpage?after" || true)"
  if [[ "$page" == *"<td>after</td>"* ]] && [[ "$page" == *"</html>" ]]; then
    echo "ok: the last process answers through port $server_port"
  else
    echo "FAILED: no page after the restarts through port $server_port: $(tail -c 300 <<<"$page")"
    failed=1
  fi
done
# What nginx saw of the restarts (a request it sent again on a new
# connection, the client none the wiser, shows here too).
for log in error error-kept; do
  echo "nginx's $log.log: $(grep -c upstream "$site/$log.log" || true) lines about the upstream"
  { grep upstream "$site/$log.log" || true; } | tail -n 4
done
exit $failed
