#!/bin/bash
# Two varpage processes listening on TCP, as backends on machines of their
# own, each accepting the web server's address only (FCGI_WEB_SERVER_ADDRS),
# behind one nginx upstream (config/fastcgi/nginx-upstream.conf). Pages come
# whole through nginx; each backend answers the web server's address and
# closes, unanswered, a connection from any other.
#   upstream_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/sbin/nginx /usr/bin/spawn-fcgi /usr/bin/curl /usr/bin/python3
if ! go_offline "$0" "$@"; then
  echo "SKIPPED: no empty network namespace can be made here"
  exit 77
fi
open_site "$varpage"

# The web server connects from 127.0.0.1; 127.0.0.2 stands for any other
# machine.
backends=()
for backend in a b; do
  backend_port="$(free_port)"
  # As in docs/servers.md: spawn-fcgi -a ADDRESS -p PORT, the web server named.
  FCGI_WEB_SERVER_ADDRS=127.0.0.1 spawn /usr/bin/spawn-fcgi -n -a 127.0.0.1 -p "$backend_port" \
    -- "$site/cgi-bin/varpage"
  backends+=("$backend_port")
done
for backend_port in "${backends[@]}"; do
  for i in $(seq 50); do
    python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])))' \
      "$backend_port" 2>/dev/null && break
    sleep 0.1
  done
done
# The published configuration with the backends' addresses made this
# machine's, as a user would edit them.
config="$(render_config fastcgi/nginx-upstream "$site" "$port")"
sed -i -e "s|192.0.2.21:9000|127.0.0.1:${backends[0]}|" -e "s|192.0.2.22:9000|127.0.0.1:${backends[1]}|" \
  "$config"
run_config "$config" "$port"

failed=0
served=0
for i in $(seq 10); do
  page="$(curl -s "http://127.0.0.1:$port/cgi-bin/varpage?n=$i" || true)"
  if [[ "$page" == *$'<td>QUERY_STRING</td>\r\n\t\t<td>n='"$i</td>"* ]] && [[ "$page" == *"</html>" ]]; then
    served=$((served + 1))
  else
    echo "FAILED: request $i through nginx: $(tail -c 300 <<<"$page")"
    failed=1
  fi
done
echo "ok: $served of 10 pages whole through the upstream"

for backend_port in "${backends[@]}"; do
  page="$(python3 "$here/fastcgi_peer.py" --ask 127.0.0.1 "$backend_port" 127.0.0.1)"
  if [[ "$page" == *$'<td>FROM</td>\r\n\t\t<td>127.0.0.1</td>'* ]] && [[ "$page" == *"</html>" ]]; then
    echo "ok: backend $backend_port answers the web server's address"
  else
    echo "FAILED: backend $backend_port did not answer 127.0.0.1: $(tail -c 300 <<<"$page")"
    failed=1
  fi
  page="$(python3 "$here/fastcgi_peer.py" --ask 127.0.0.1 "$backend_port" 127.0.0.2)"
  if [ -z "$page" ]; then echo "ok: backend $backend_port refuses 127.0.0.2"; else
    echo "FAILED: backend $backend_port answered 127.0.0.2"; failed=1; fi
done
[ "$failed" = 0 ] || cat "$site/error.log"
exit $failed
