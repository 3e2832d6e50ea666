# Checks of debian_test.sh for what some recipes do beyond serving the page:
# whether the server keeps its FastCGI connections to varpage (and every
# request on a kept connection still gets its own page), mod_fcgid's limit
# on request bodies, Caddy's own page and user. Sourced by debian_test.sh
# once the server answers; uses its ask, apply, fail and the sandbox.

socket=/run/varpage/fcgi.sock

# fcgi_connections: the connections open at varpage's end of its socket,
# one line each (the socket's inode).
fcgi_connections() {
  ss -xHn | awk -v sock="$socket" '$2 == "ESTAB" && $5 == sock { print $6 }'
}

# has_row NAME VALUE: whether the page in $body has the row NAME = VALUE.
has_row() {
  [[ "$body" == *"<td>$1</td>"$'\r\n\t\t'"<td>$2</td>"* ]]
}

# server_workers: how many processes of the web server take requests:
# nginx's workers, or Apache's children (all but the one in its pid file).
server_workers() {
  local pid count=0 master
  master="$(cat /run/apache2/apache2.pid 2>/dev/null)"
  for pid in $(sandbox_pids); do
    case "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" in
      "nginx: worker process"*) count=$((count + 1)) ;;
      /usr/sbin/apache2*) [ "$pid" = "$master" ] || count=$((count + 1)) ;;
    esac
  done
  echo "$count"
}

# check_kept_connections: many requests one after another, from changing
# clients, travel over a few kept connections, one per server process at
# most: after each, a connection stays open, and the connections seen over
# all of them are no more than the server's processes. Each request still
# gets a whole page of its own: its client's address and query, and a header
# only the request that sent it.
check_kept_connections() {
  local workers i address requests=12 seen="" open
  local addresses=(127.0.0.1 ::1 127.0.0.2)
  workers="$(server_workers)"
  for i in $(seq "$requests"); do
    address="${addresses[$((i % 3))]}"
    host_header=()
    [ $((i % 2)) = 1 ] && host_header=(-H "X-Marker: $i")
    ask "$address" "/cgi-bin/varpage?request=$i"
    if [ "$code" != 200 ] || ! is_page_for "$address" || ! has_row QUERY_STRING "request=$i"; then
      fail "request $i from $address did not get its own whole page ($code)"
    elif [ $((i % 2)) = 1 ] && ! has_row HTTP_X_MARKER "$i"; then
      fail "request $i lost its own header on a kept connection"
    elif [ $((i % 2)) = 0 ] && [[ "$body" == *HTTP_X_MARKER* ]]; then
      fail "request $i shows a header of the request before it on the same connection"
    fi
    open="$(fcgi_connections)"
    [ -n "$open" ] || fail "no connection to varpage stays open after request $i"
    seen+="$open"$'\n'
  done
  host_header=()
  seen="$(sort -u <<<"$seen" | grep -c .)"
  if [ "$seen" -ge 1 ] && [ "$seen" -le "$workers" ]; then
    echo "ok: $requests requests, each with its own page, over $seen kept connections ($workers server processes)"
  else
    fail "$requests requests over $seen connections, with $workers server processes"
  fi
  # varpage restarted closes the kept connections at its end (as it closes
  # one idle for 30 s): the server must notice and open new ones, not hand
  # the next requests to a dead connection.
  restart_varpage
  for i in 1 2 3 4; do
    address="${addresses[$((i % 3))]}"
    ask "$address" "/cgi-bin/varpage?after-restart=$i"
    if [ "$code" = 200 ] && is_page_for "$address" && has_row QUERY_STRING "after-restart=$i"; then
      echo "ok: request $i after varpage's restart gets its page"
    else
      fail "request $i after varpage's restart gets $code"
    fi
  done
}

# restart_varpage: stops the varpage the guide's spawn-fcgi line started, and
# starts it again with the same line.
restart_varpage() {
  local pid
  for pid in $(sandbox_pids); do
    [ "$(readlink "/proc/$pid/exe")" = /usr/lib/cgi-bin/varpage ] && stop_pid "$pid"
  done
  apply fastcgi-spawn
}

# check_closed_connections: where the recipe does not keep connections, none
# stays open once a request is answered (which shows that
# check_kept_connections tells the two apart).
check_closed_connections() {
  local i
  ask 127.0.0.1 /cgi-bin/varpage
  for i in $(seq 50); do
    [ -z "$(fcgi_connections)" ] && break
    sleep 0.1
  done
  if [ "$code" = 200 ] && [ -z "$(fcgi_connections)" ]; then
    echo "ok: no connection to varpage stays open after a request"
  else
    fail "a connection stays open after a request the server did not keep it for ($code)"
  fi
}

# post BYTES: POSTs BYTES bytes to the page from 127.0.0.1; sets $code, $body.
post() {
  head -c "$1" /dev/zero | tr '\0' x >"$sandbox/request-body"
  body="$(curl -s --max-time 20 -w '\n%{http_code}' --data-binary "@$sandbox/request-body" \
    "http://127.0.0.1:$DEBIAN_PORT/cgi-bin/varpage")"
  code="${body##*$'\n'}"
  body="${body%$'\n'*}"
}

# check_fcgid_bodies: the varpage mod_fcgid started runs as www-data on the
# listening socket Apache handed it; a body up to 128 KiB reaches it, a
# larger one gets 500 and mod_fcgid's log line until the guide's
# FcgidMaxRequestLen raises the limit.
check_fcgid_bodies() {
  local pid started=0
  for pid in $(sandbox_pids); do
    [ "$(readlink "/proc/$pid/exe")" = /usr/lib/cgi-bin/varpage ] || continue
    started=$((started + 1))
    if [ "$(stat -c %U "/proc/$pid")" = www-data ] && [[ "$(readlink "/proc/$pid/fd/0")" == socket:* ]]; then
      echo "ok: mod_fcgid runs varpage ($pid) as www-data, a socket as its standard input"
    else
      fail "varpage ($pid) runs as $(stat -c %U "/proc/$pid") on $(readlink "/proc/$pid/fd/0")"
    fi
  done
  [ "$started" -ge 1 ] || fail "no varpage process that mod_fcgid started"
  post 100000
  if [ "$code" = 200 ] && is_page_for 127.0.0.1 && has_row CONTENT_LENGTH 100000; then
    echo "ok: a 100000-byte POST gets the page"
  else
    fail "a 100000-byte POST gets $code"
  fi
  post 204800
  if [ "$code" = 500 ] && ! is_page; then echo "ok: a 200 KiB POST gets 500"; else
    fail "a 200 KiB POST gets $code$(is_page && echo ', with the page')"; fi
  if grep -q 'mod_fcgid: HTTP request length [0-9]* (so far) exceeds MaxRequestLen (131072)' /var/log/apache2/error.log; then
    echo "ok: the error log says: $(grep -o 'mod_fcgid: HTTP request length.*' /var/log/apache2/error.log | tail -n1)"
  else
    fail "the error log does not name MaxRequestLen"
  fi
  apply apache-fcgid-bodies
  wait_for_http "$DEBIAN_PORT" || return
  post 204800
  if [ "$code" = 200 ] && is_page_for 127.0.0.1 && has_row CONTENT_LENGTH 204800; then
    echo "ok: with FcgidMaxRequestLen raised, a 200 KiB POST gets the page"
  else
    fail "with FcgidMaxRequestLen raised, a 200 KiB POST gets $code"
  fi
}

# check_caddy: Debian's Caddy page at / for everyone, as before; varpage's
# script name and path info split as the recipe says; Caddy running as
# caddy, varpage as the user of its own the spawn-fcgi recipe makes.
check_caddy() {
  local address pid user want diff
  # The blocks pasted as given leave the Caddyfile as caddy fmt would have
  # it: Caddy warns at every start and reload otherwise.
  # (It prints the whole file, a line it would change as - and +.)
  diff="$(caddy fmt --diff /etc/caddy/Caddyfile 2>&1 | grep '^[-+]')"
  if [ -z "$diff" ]; then echo "ok: caddy fmt --diff finds nothing to change in the Caddyfile"; else
    fail "caddy fmt would change the Caddyfile: $diff"; fi
  for address in 127.0.0.1 ::1 127.0.0.2; do
    ask "$address" /
    if [ "$code" = 200 ] && [ "$(printf '%s' "$body")" = "$(cat /usr/share/caddy/index.html)" ]; then
      echo "ok: $address gets Caddy's own page at /"
    else
      fail "$address does not get Caddy's own page at / ($code)"
    fi
  done
  ask 127.0.0.1 /cgi-bin/varpage/more
  if has_row SCRIPT_NAME /cgi-bin/varpage && has_row PATH_INFO /more; then
    echo "ok: /cgi-bin/varpage/more runs varpage with PATH_INFO=/more"
  else
    fail "/cgi-bin/varpage/more: not SCRIPT_NAME=/cgi-bin/varpage and PATH_INFO=/more"
  fi
  for pid in $(sandbox_pids); do
    user="$(stat -c %U "/proc/$pid")"
    case "$(readlink "/proc/$pid/exe")" in
      /usr/bin/caddy) want=caddy ;;
      /usr/lib/cgi-bin/varpage) want=varpage ;;
      *) continue ;;
    esac
    if [ "$user" = "$want" ]; then echo "ok: $(readlink "/proc/$pid/exe") ($pid) runs as $user"; else
      fail "$(readlink "/proc/$pid/exe") ($pid) runs as $user, not $want"; fi
  done
}

# check_backends_refuse [firewall]: each backend of the site for several
# machines answers the web server's address and closes a connection from any
# other (here 192.0.2.11, another address of the web server's machine)
# unanswered; behind the guide's firewall rule, such a connection never gets
# through at all.
check_backends_refuse() {
  local backend page reached
  for backend in 192.0.2.21 192.0.2.22; do
    page="$(python3 "$here/fastcgi_peer.py" --ask "$backend" 9000 192.0.2.10 2>&1)"
    if [[ "$page" == *"</html>" ]]; then echo "ok: backend $backend answers the web server 192.0.2.10"; else
      fail "backend $backend does not answer 192.0.2.10: $(tail -c 200 <<<"$page")"; fi
    reached="$(connect_from 192.0.2.11 "$backend" 9000)"
    if [ "${1:-}" = firewall ]; then
      if [ "$reached" = "timed out" ]; then echo "ok: the firewall drops a connection from 192.0.2.11 to backend $backend"; else
        fail "a connection from 192.0.2.11 to backend $backend behind the firewall: $reached"; fi
    else
      [ "$reached" = connected ] || fail "no connection from 192.0.2.11 to backend $backend: $reached"
      page="$(python3 "$here/fastcgi_peer.py" --ask "$backend" 9000 192.0.2.11 2>&1)"
      if [ -z "$page" ]; then echo "ok: backend $backend closes a connection from 192.0.2.11 unanswered"; else
        fail "backend $backend answers 192.0.2.11: $(tail -c 200 <<<"$page")"; fi
    fi
    # Bound to its own address: nothing listens on the others it has.
    if nsenter "--net=/run/netns/backend-${backend##*.}" ss -Htln | awk '{ print $4 }' | grep -qvx "$backend:9000"; then
      fail "backend $backend listens elsewhere than $backend:9000: $(nsenter "--net=/run/netns/backend-${backend##*.}" ss -Htln)"
    else
      echo "ok: backend $backend listens on $backend:9000 only"
    fi
  done
}

# connect_from SOURCE HOST PORT: what a TCP connection from SOURCE to
# HOST:PORT meets: "connected", "timed out" (nothing answered within 5 s: a
# firewall dropped it) or the error.
connect_from() {
  python3 - "$@" <<'PYTHON'
import socket, sys
s = socket.socket()
s.settimeout(5)
s.bind((sys.argv[1], 0))
try:
    s.connect((sys.argv[2], int(sys.argv[3])))
    print("connected")
except socket.timeout:
    print("timed out")
except OSError as e:
    print(e.strerror)
PYTHON
}
