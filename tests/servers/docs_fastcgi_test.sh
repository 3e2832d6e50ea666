#!/bin/bash
# Runs the FastCGI section of docs/servers.md as a reader would copy it:
# spawn-fcgi started with the published command; the nginx, lighttpd and
# Apache snippets, each in a minimal server of its own with the address
# restriction the guide points to, asked from the allowed 127.0.0.1 and the
# denied 127.0.0.2; two TCP backends started as published behind the published
# upstream, each asked by the web server's address and by another. Only the
# paths, addresses, ports and user names are swapped for this machine's.
#   docs_fastcgi_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
source "$here/debian_lib.sh"
guide="$VARPAGE_ROOT/docs/servers.md"
skip_unless_installed /usr/sbin/nginx /usr/sbin/lighttpd /usr/sbin/apache2 \
  /usr/lib/apache2/modules/mod_proxy_fcgi.so /usr/lib/apache2/modules/mod_authz_host.so \
  /usr/bin/spawn-fcgi /usr/bin/curl /usr/bin/python3
if ! go_offline "$0" "$@"; then
  echo "SKIPPED: no empty network namespace can be made here"
  exit 77
fi

site="$(mktemp -d)"
children=()  # what the published spawn-fcgi commands started (they fork)
cleanup() {
  stop_servers
  local pid
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$site"
}
trap cleanup EXIT
make_site "$site" "$varpage"
group=nogroup
getent group nogroup >/dev/null || group=nobody

# block NAME: the guide's code block marked NAME, without the lines that
# install packages (they are here) or name the Debian file it goes in.
block() {
  guide_block "$guide" "$1" | sed -e '/^apt-get install/d' -e '1{/^# /d}'
}
# localise: the published paths and names, as they are on this machine.
localise() {
  sed -e "s|/run/varpage/fcgi.sock|$site/run/fcgi.sock|g" -e "s|/run/varpage|$site/run|g" \
    -e "s|/run/lighttpd/varpage.sock|$site/lighttpd-varpage.sock|g" \
    -e "s|/usr/lib/cgi-bin/varpage|$site/cgi-bin/varpage|g" \
    -e "s|-g nogroup|-g $group|g" \
    -e '/^adduser /d' -e "s|-u varpage -g varpage|-u nobody -g $group|g"
}
# run_published COMMANDS: runs them, keeping the pid spawn-fcgi reports.
run_published() {
  local output
  output="$(bash -c "$1" 2>&1)" || { echo "FAILED: $1: $output"; exit 1; }
  echo "$output"
  children+=($(sed -n 's/.*PID: \([0-9]*\).*/\1/p' <<<"$output"))
}

failed=0
# Every path the snippets serve the page at (each maps a prefix: path info
# too), with the spellings servers normalise; and / where they serve none.
page_paths=(/cgi-bin/varpage /cgi-bin/varpage/more /cgi-bin//varpage /%63gi-bin/varpage)
check_allowed_and_denied() {  # check_allowed_and_denied WHAT PORT
  local base="http://127.0.0.1:$2" path page denied
  page="$(curl -s --interface 127.0.0.1 "$base/cgi-bin/varpage?q=%3Cx%3E" || true)"
  if [[ "$page" == *$'<td>REMOTE_ADDR</td>\r\n\t\t<td>127.0.0.1</td>'* ]] &&
     [[ "$page" == *$'<td>QUERY_STRING</td>\r\n\t\t<td>q=%3Cx%3E</td>'* ]] && [[ "$page" == *"</html>" ]]; then
    echo "ok: $1: 127.0.0.1 (allowed) gets the page with its query"
  else
    echo "FAILED: $1: 127.0.0.1 (allowed): $(tail -c 300 <<<"$page")"
    failed=1
  fi
  for path in "${page_paths[@]}" '/cgi-bin/varpage?q=1'; do
    page="$(curl -s --path-as-is --interface 127.0.0.1 "$base$path" || true)"
    if [[ "$page" == *$'<td>REMOTE_ADDR</td>\r\n\t\t<td>127.0.0.1</td>'* ]]; then
      echo "ok: $1: 127.0.0.1 (allowed) gets the page at $path"
    else
      echo "FAILED: $1: 127.0.0.1 (allowed) gets no page at $path"
      failed=1
    fi
    denied="$(curl -s --path-as-is -o /dev/null -w '%{http_code}' --interface 127.0.0.2 "$base$path" || true)"
    if [ "$denied" = 403 ]; then echo "ok: $1: 127.0.0.2 (denied) gets 403 at $path"; else
      echo "FAILED: $1: 127.0.0.2 (denied) got $denied at $path"; failed=1; fi
  done
  for address in 127.0.0.1 127.0.0.2; do
    page="$(curl -s --interface "$address" "$base/" || true)"
    if [[ "$page" != *"<td>REMOTE_ADDR</td>"* ]]; then echo "ok: $1: no page at / for $address"; else
      echo "FAILED: $1: $address gets the page at /"; failed=1; fi
  done
}
restriction() {  # restriction SERVER: config/restrict/SERVER.conf, as published
  cat "$VARPAGE_ROOT/config/restrict/$1.conf"
}

# spawn-fcgi, as published; nginx and Apache then use its socket.
run_published "$(block fastcgi-spawn | localise)"
for i in $(seq 50); do [ -S "$site/run/fcgi.sock" ] && break; sleep 0.1; done

# The guide's way to keep varpage's log lines under spawn-fcgi: in the
# foreground (-n), standard error appended to a file. On a socket of its
# own, beside the one above.
log_spawn="$(block fastcgi-log-spawn | grep -- '^spawn-fcgi -n ' | localise |
  sed -e "s|$site/run/fcgi.sock|$site/run/log.sock|" -e "s|/var/log/varpage.log|$site/varpage.log|")"
bash -c "$log_spawn"' echo $! >"$0"' "$site/log-spawn.pid"
children+=("$(cat "$site/log-spawn.pid")")
start_line=""
for i in $(seq 50); do
  start_line="$(grep -F " serving FastCGI on unix:$site/run/log.sock," "$site/varpage.log" 2>/dev/null)" && break
  sleep 0.1
done
if [[ "$start_line" =~ ^varpage\[[0-9]+\]:\ info:\ varpage\ [0-9.]+\ serving ]]; then
  echo "ok: spawn-fcgi -n with standard error to a file: the start line is there"
else
  echo "FAILED: spawn-fcgi -n with standard error to a file: no start line in: $(cat "$site/varpage.log" 2>&1)"
  failed=1
fi

# nginx: the location, with the restriction inside it.
port="$(free_port)"
{
  # Its workers run as www-data, as Debian's do, the socket's owner.
  echo "user www-data; daemon off; pid $site/nginx.pid; error_log $site/error.log; events {}"
  echo "http { access_log off; client_body_temp_path $site/tmp;"
  echo "server { listen 127.0.0.1:$port;"
  block nginx-fastcgi | localise | sed '$d'
  restriction nginx
  echo "}"
  echo "} }"
} >"$site/nginx.conf"
spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$site/nginx.conf"
wait_for_port "$port"
check_allowed_and_denied nginx "$port"

# Apache: the ProxyPass line in the test's minimal server, restricted.
port="$(free_port)"
{
  grep -v '^ProxyPass\|^IncludeOptional\|^ErrorLog' "$VARPAGE_ROOT/config/fastcgi/apache.conf" |
    sed -e "s|8080|$port|g" -e "s|/srv/varpage|$site|g"
  echo "ErrorLog $site/error.log"
  block apache-fastcgi | localise
  restriction apache
} >"$site/apache.conf"
spawn /usr/sbin/apache2 -f "$site/apache.conf" -D FOREGROUND
wait_for_port "$port"
check_allowed_and_denied Apache "$port"

# lighttpd: the snippet starts its own varpage (bin-path).
port="$(free_port)"
{
  echo "server.bind = \"127.0.0.1\""
  echo "server.port = $port"
  echo "server.document-root = \"$site/htdocs\""
  echo "server.errorlog = \"$site/error.log\""
  block lighttpd-fastcgi | localise
  restriction lighttpd
} >"$site/lighttpd.conf"
spawn /usr/sbin/lighttpd -D -f "$site/lighttpd.conf"
wait_for_port "$port"
check_allowed_and_denied lighttpd "$port"

# Two TCP backends as published, the web server being 127.0.0.1, behind the
# published upstream.
backend_ports=("$(free_port)" "$(free_port)")
for backend_port in "${backend_ports[@]}"; do
  run_published "$(block upstream-backend | localise | sed -e "s|192.0.2.10|127.0.0.1|g" -e "s|192.0.2.21|127.0.0.1|g" \
    -e "s|-p 9000|-p $backend_port|g")"
done
port="$(free_port)"
{
  echo "daemon off; pid $site/upstream.pid; error_log $site/error.log; events {}"
  echo "http { access_log off; client_body_temp_path $site/tmp;"
  block upstream-site | sed -e "s|192.0.2.21:9000|127.0.0.1:${backend_ports[0]}|" -e '/listen \[::\]:80;/d' \
    -e "s|192.0.2.22:9000|127.0.0.1:${backend_ports[1]}|" -e "s|listen 80;|listen 127.0.0.1:$port;|"
  echo "}"
} >"$site/upstream.conf"
spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$site/upstream.conf"
wait_for_port "$port"
page="$(curl -s "http://127.0.0.1:$port/cgi-bin/varpage?up" || true)"
if [[ "$page" == *$'<td>QUERY_STRING</td>\r\n\t\t<td>up</td>'* ]] && [[ "$page" == *"</html>" ]]; then
  echo "ok: upstream: the page through nginx"
else
  echo "FAILED: upstream: $(tail -c 300 <<<"$page")"
  failed=1
fi
for backend_port in "${backend_ports[@]}"; do
  page="$(python3 "$here/fastcgi_peer.py" --ask 127.0.0.1 "$backend_port" 127.0.0.1 || true)"
  if [[ "$page" == *"</html>" ]]; then echo "ok: backend $backend_port answers the web server"; else
    echo "FAILED: backend $backend_port does not answer 127.0.0.1"; failed=1; fi
  page="$(python3 "$here/fastcgi_peer.py" --ask 127.0.0.1 "$backend_port" 127.0.0.2 || true)"
  if [ -z "$page" ]; then echo "ok: backend $backend_port refuses 127.0.0.2"; else
    echo "FAILED: backend $backend_port answers 127.0.0.2"; failed=1; fi
done
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
