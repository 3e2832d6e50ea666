#!/bin/bash
# The FastCGI rows of docs/troubleshooting.md, reproduced: the guide's
# spawn-fcgi and SERVER recipes on Debian's stock configuration (see
# debian_lib.sh), then each fault an administrator meets, with what the
# client gets and what the server logs:
#   refused     varpage stopped, its socket file left behind
#   missing     no socket file at all
#   permission  a socket the server's workers may not use (owned by nobody,
#               mode 0660, as the guide's spawn-fcgi command once made it)
#   slow        a reverse lookup that outlasts the server's read timeout
#               (shortened to 2 s here)
#   debian_fastcgi_trouble_test.sh nginx|apache PATH-TO-VARPAGE
set -uo pipefail

server="$1"
varpage="$(realpath "$2")"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
source "$here/debian_lib.sh"
guide="$VARPAGE_ROOT/docs/servers.md"
skip_unless_installed /usr/bin/curl /usr/sbin/service /usr/bin/spawn-fcgi /usr/bin/python3
case "$server" in
  nginx)
    skip_unless_installed /usr/sbin/nginx
    log=/var/log/nginx/error.log
    ;;
  apache)
    skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_proxy_fcgi.so
    log=/var/log/apache2/error.log
    ;;
  *)
    echo "unknown server $server" >&2
    exit 2
    ;;
esac
debian_enter "$varpage" "$0" "$@"

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

apply fastcgi-spawn
if [ "$server" = nginx ]; then
  apply nginx-fastcgi
  # The slow row's timeout, shortened from 60 s.
  insert_in_location /etc/nginx/sites-available/default "fastcgi_read_timeout 2s;"
  apply nginx-fastcgi-restart
else
  apply apache-fastcgi
  echo "ProxyTimeout 2" >>/etc/apache2/conf-available/varpage-fastcgi.conf
  apply apache-fastcgi-enable
fi
wait_for_http 80 || exit 1

# row SYMPTOM CODE LOG: asks for the page; the client must get CODE, no byte
# of the page, and the log gain a line holding LOG. Prints the row as
# troubleshooting.md quotes it.
row() {
  local symptom="$1" want="$2" text="$3" before new got
  before="$(wc -l <"$log")"
  ask "${client:-127.0.0.1}" /cgi-bin/varpage
  new="$(tail -n "+$((before + 1))" "$log")"
  got="$code"
  # varpage holds its page back until it is whole: a server that gives up
  # has nothing of it to pass on, so no error looks like a page.
  if is_page; then
    got="$code with a cut page"
  fi
  if [ "$got" = "$want" ] && [[ "$new" == *"$text"* ]]; then
    echo "ok: $symptom: $code, logged: $(grep -F -- "$text" <<<"$new" | head -n1)"
  else
    fail "$symptom: $code (not $want), logged: $new"
  fi
}

ask 127.0.0.1 /cgi-bin/varpage
if [ "$code" = 200 ] && is_page_for 127.0.0.1; then echo "ok: the page, to begin with"; else
  fail "no page to begin with ($code)"; fi

varpage_pid() {
  local pid
  for pid in $(sandbox_pids); do
    [ "$(readlink "/proc/$pid/exe")" = /usr/lib/cgi-bin/varpage ] && echo "$pid"
  done
}
# start_varpage OWNER GROUP: varpage again, as the guide starts it (as the
# user varpage that fastcgi-spawn made), with the
# socket given to OWNER:GROUP.
start_varpage() {
  spawn-fcgi -s /run/varpage/fcgi.sock -M 0660 -U "$1" -G "$2" -u varpage -g varpage \
    -- /usr/lib/cgi-bin/varpage >/dev/null
}

case "$server" in
  nginx)
    refused="connect() to unix:/run/varpage/fcgi.sock failed (111: Connection refused)"
    missing="connect() to unix:/run/varpage/fcgi.sock failed (2: No such file or directory)"
    permission="connect() to unix:/run/varpage/fcgi.sock failed (13: Permission denied)"
    slow="upstream timed out (110: Connection timed out) while reading response header from upstream"
    down=502
    ;;
  apache)
    refused="(111)Connection refused: AH02454: FCGI: attempt to connect to Unix domain socket /run/varpage/fcgi.sock (localhost:8000) failed"
    missing="(2)No such file or directory: AH02454: FCGI: attempt to connect to Unix domain socket /run/varpage/fcgi.sock (localhost:8000) failed"
    permission="(13)Permission denied: AH02454: FCGI: attempt to connect to Unix domain socket /run/varpage/fcgi.sock (localhost:8000) failed"
    slow="(70007)The timeout specified has expired"
    down=503
    ;;
esac

stop_pid "$(varpage_pid)"
row refused "$down" "$refused"
rm -f /run/varpage/fcgi.sock
# Apache may leave a backend that failed alone for 60 s (ProxyPass retry=),
# answering without trying the socket: each row starts afresh.
[ "$server" = apache ] && service apache2 restart >/dev/null 2>&1
row missing "$down" "$missing"
group=nogroup
getent group nogroup >/dev/null || group=nobody
start_varpage nobody "$group"
[ "$server" = apache ] && service apache2 restart >/dev/null 2>&1
row permission "$down" "$permission"
stop_pid "$(varpage_pid)"
rm -f /run/varpage/fcgi.sock
start_varpage www-data www-data
[ "$server" = apache ] && service apache2 restart >/dev/null 2>&1

# The slow lookup: 127.0.0.2's name comes from a resolver here that holds
# its answer back until told (slow_resolver.py).
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$sandbox/resolv.conf"
printf 'hosts: files dns\n' >"$sandbox/nsswitch.conf"
mount --bind "$sandbox/resolv.conf" /etc/resolv.conf
mount --bind "$sandbox/nsswitch.conf" /etc/nsswitch.conf
mkdir "$sandbox/dns"
python3 "$here/slow_resolver.py" "$sandbox/dns" slow-client.test &
for i in $(seq 100); do [ -e "$sandbox/dns/ready" ] && break; sleep 0.1; done
client=127.0.0.2 row slow 504 "$slow"
touch "$sandbox/dns/release"
ask 127.0.0.1 /cgi-bin/varpage
if [ "$code" = 200 ] && is_page_for 127.0.0.1; then echo "ok: the page again, once mended"; else
  fail "no page once mended ($code)"; fi
exit $failed
