# Shell functions that start real web servers on 127.0.0.1 with varpage as
# their CGI program, each from a throwaway site folder and a configuration in
# config/. Source this file; call stop_servers when done (a trap is best).

VARPAGE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SERVER_PIDS=()

# A port on 127.0.0.1 that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# go_offline "$0" "$@": for tests; runs the calling script again inside a new,
# empty network namespace with only the loopback interface up, so that nothing
# it does can reach beyond this machine: not even the reverse lookups that
# varpage makes of client addresses /etc/hosts does not hold. Returns 1,
# without running anything, where no namespace can be made.
go_offline() {
  [ -n "${VARPAGE_OFFLINE:-}" ] && return 0
  unshare -n true 2>/dev/null || return 1
  VARPAGE_OFFLINE=1 exec unshare -n -- bash -c 'ip link set lo up && exec bash "$@"' bash "$@"
}

# go_offline_with_hosts HOSTS "$0" "$@": as go_offline, and in a mount
# namespace of its own with HOSTS bind-mounted over /etc/hosts, so that
# lookups answer from HOSTS (readable by every user). Returns 1, without
# running anything, where that cannot be done.
go_offline_with_hosts() {
  local hosts
  hosts="$(realpath "$1")"
  shift
  [ -n "${VARPAGE_OFFLINE:-}" ] && return 0
  unshare -n -m mount --bind "$hosts" /etc/hosts 2>/dev/null || return 1
  VARPAGE_OFFLINE=1 exec unshare -n -m -- \
    bash -c 'mount --bind "$0" /etc/hosts && ip link set lo up && exec bash "$@"' "$hosts" "$@"
}

# loopback_name: the name /etc/hosts gives 127.0.0.1, or nothing.
loopback_name() {
  awk '$1 == "127.0.0.1" { print $2; exit }' /etc/hosts
}

# offline_or_loopback_in_hosts "$0" "$@": for tests whose clients come from
# 127.0.0.1. Goes offline where it can; elsewhere carries on only if
# /etc/hosts names 127.0.0.1, so that the lookup stays on this machine.
offline_or_loopback_in_hosts() {
  go_offline "$@" && return 0
  [ -n "$(loopback_name)" ] && return 0
  echo "SKIPPED: no network namespace can be made, and /etc/hosts does not name 127.0.0.1"
  exit 77
}

# skip_unless_installed FILE...: for tests; exits 77 (skipped), with the
# reason, when a file is missing.
skip_unless_installed() {
  local file
  for file in "$@"; do
    if [ ! -e "$file" ]; then
      echo "SKIPPED: $file is not installed (scripts/test installs it as root)"
      exit 77
    fi
  done
}

# skip_unless_server_installed SERVER: for tests; what start_SERVER runs, and
# the modules its configurations and restrictions load.
skip_unless_server_installed() {
  case "$1" in
    lighttpd | lighttpd_fastcgi) skip_unless_installed /usr/sbin/lighttpd ;;
    apache)
      skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_cgi.so \
        /usr/lib/apache2/modules/mod_authz_host.so
      ;;
    apache_fastcgi)
      skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_proxy_fcgi.so \
        /usr/lib/apache2/modules/mod_authz_host.so /usr/bin/spawn-fcgi
      ;;
    nginx) skip_unless_installed /usr/sbin/nginx /usr/sbin/fcgiwrap ;;
    nginx_fastcgi) skip_unless_installed /usr/sbin/nginx /usr/bin/spawn-fcgi ;;
    busybox) skip_unless_installed /bin/busybox ;;
    *)
      echo "unknown server $1" >&2
      exit 2
      ;;
  esac
}

# open_site VARPAGE: a throwaway site folder for VARPAGE in $site and a free
# port in $port; the servers are stopped and the folder removed on exit.
open_site() {
  site="$(mktemp -d)"
  trap 'stop_servers; rm -rf "$site"' EXIT
  make_site "$site" "$1"
  port="$(free_port)"
}

# make_site SITE VARPAGE: lays out SITE with the program at htdocs/cgi-bin/
# and cgi-bin/, readable by the unprivileged users servers switch to.
make_site() {
  local site="$1" varpage="$2"
  mkdir -p "$site/htdocs/cgi-bin" "$site/cgi-bin" "$site/tmp"
  install -m 755 "$varpage" "$site/htdocs/cgi-bin/varpage"
  install -m 755 "$varpage" "$site/cgi-bin/varpage"
  chmod 755 "$site" "$site/htdocs"
}

# Where the servers listen: wait_for_port asks there, and LISTEN_EDIT, a sed
# expression, changes the configuration's listening line to match (the
# configurations listen on 127.0.0.1).
LISTEN_HOST=127.0.0.1
LISTEN_EDIT=""

# render_config NAME SITE PORT: writes config/NAME.conf into SITE with its
# placeholders filled in, and prints the path of the result.
render_config() {
  local name="$1" site="$2" port="$3" user=nobody group=nogroup
  local out="$site/${name//\//-}.conf"
  getent group nogroup >/dev/null || group=nobody
  sed -e "$LISTEN_EDIT" -e "s|@SITE@|$site|g" -e "s|@PORT@|$port|g" -e "s|@USER@|$user|g" \
    -e "s|@GROUP@|$group|g" "$VARPAGE_ROOT/config/$name.conf" >"$out"
  echo "$out"
}

# spawn COMMAND...: starts a server in the background in a process group of
# its own, so that stop_servers reaches its workers and children too.
spawn() {
  setsid "$@" &
  SERVER_PIDS+=($!)
}

# wait_for_port PORT: until something answers HTTP there, on LISTEN_HOST,
# for up to 30 s.
wait_for_port() {
  local i
  for i in $(seq 300); do
    curl -s -g -o /dev/null "http://$LISTEN_HOST:$1/" && return 0
    sleep 0.1
  done
  echo "nothing answers on $LISTEN_HOST:$1" >&2
  return 1
}

start_lighttpd() {
  local site="$1" port="$2"
  spawn /usr/sbin/lighttpd -D -f "$(render_config lighttpd "$site" "$port")"
  wait_for_port "$port"
}

start_apache() {
  local site="$1" port="$2"
  spawn /usr/sbin/apache2 -f "$(render_config apache "$site" "$port")" -D FOREGROUND
  wait_for_port "$port"
}

start_nginx() {
  local site="$1" port="$2" i
  spawn /usr/sbin/fcgiwrap -s "unix:$site/fcgiwrap.sock"
  for i in $(seq 50); do [ -S "$site/fcgiwrap.sock" ] && break; sleep 0.1; done
  # nginx's workers run unprivileged and must reach the socket.
  chmod 666 "$site/fcgiwrap.sock"
  spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$(render_config nginx "$site" "$port")"
  wait_for_port "$port"
}

# With SITE/busybox.conf, such as config/restrict/busybox.conf, as its
# configuration: kept outside the folder it serves.
start_busybox() {
  local site="$1" port="$2" config=()
  [ -f "$site/busybox.conf" ] && config=(-c "$site/busybox.conf")
  spawn busybox httpd -f -p "127.0.0.1:$port" -h "$site/htdocs" "${config[@]}"
  wait_for_port "$port"
}

# The same servers handing varpage its requests over FastCGI, from
# config/fastcgi/. lighttpd starts varpage itself; for nginx and Apache,
# spawn-fcgi starts it on a socket the servers' workers can reach.
start_lighttpd_fastcgi() {
  local site="$1" port="$2"
  spawn /usr/sbin/lighttpd -D -f "$(render_config fastcgi/lighttpd "$site" "$port")"
  wait_for_port "$port"
}

start_varpage_fastcgi() {
  local site="$1" group=nogroup
  getent group nogroup >/dev/null || group=nobody
  # As docs/servers.md has it, with the servers' user here (nobody) owning
  # the socket, and -n to stay in the foreground where stop_servers finds it.
  spawn /usr/bin/spawn-fcgi -n -s "$site/varpage.sock" -M 0660 -U nobody -G "$group" \
    -u nobody -g "$group" -- "$site/cgi-bin/varpage"
  for i in $(seq 50); do [ -S "$site/varpage.sock" ] && return 0; sleep 0.1; done
  echo "varpage is not listening on $site/varpage.sock" >&2
  return 1
}

# start_held_varpage SITE: varpage on SITE/varpage.sock, the socket made and
# held by tests/servers/socket_holder.py as a systemd socket unit holds it,
# so that it outlives each varpage process; the holder's folder is
# SITE/holder (its log, pid and control pipe).
start_held_varpage() {
  local site="$1" i
  mkdir -p "$site/holder"
  spawn python3 "$VARPAGE_ROOT/tests/servers/socket_holder.py" "$site/varpage.sock" \
    "$site/holder" "$site/cgi-bin/varpage"
  for i in $(seq 100); do
    [ -p "$site/holder/control" ] && [ -s "$site/holder/pid" ] && return 0
    sleep 0.1
  done
  echo "varpage is not listening on $site/varpage.sock" >&2
  return 1
}

# holder SITE COMMAND...: has the holder of start_held_varpage carry out
# COMMAND (restart, signal NAME, stop) and waits until it has, for up to
# 120 s (a stop waits for the requests in progress).
holder() {
  local site="$1" done_before i
  shift
  done_before="$(grep -c "^done " "$site/holder/log" || true)"
  echo "$*" >"$site/holder/control"
  for i in $(seq 1200); do
    [ "$(grep -c "^done " "$site/holder/log" || true)" -gt "$done_before" ] && return 0
    sleep 0.1
  done
  echo "the socket holder did not carry out: $*" >&2
  return 1
}

start_nginx_fastcgi() {
  local site="$1" port="$2"
  start_varpage_fastcgi "$site"
  spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$(render_config fastcgi/nginx "$site" "$port")"
  wait_for_port "$port"
}

start_apache_fastcgi() {
  local site="$1" port="$2"
  start_varpage_fastcgi "$site"
  spawn /usr/sbin/apache2 -f "$(render_config fastcgi/apache "$site" "$port")" -D FOREGROUND
  wait_for_port "$port"
}

# Asks every server started here to stop, and makes sure after 5 s.
stop_servers() {
  local pid i
  for pid in "${SERVER_PIDS[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for pid in "${SERVER_PIDS[@]}"; do
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  SERVER_PIDS=()
}
