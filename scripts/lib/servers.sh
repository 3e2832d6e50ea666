# Shell functions that start real web servers on 127.0.0.1 with varpage as
# their CGI program, each from a throwaway site folder and a configuration in
# config/. Source this file; call stop_servers when done (a trap is best).

VARPAGE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SERVER_PIDS=()

# A port on 127.0.0.1 that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# port_unusable PORT: nothing if a server could listen on PORT at 127.0.0.1
# right now (as servers do, reusing the address of connections that are
# closing); "in use" where another program listens there; otherwise why not
# (a port below 1024 needs root, say).
port_unusable() {
  python3 - "$1" <<'PYTHON'
import errno, os, socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen()
except OSError as e:
    print("in use" if e.errno == errno.EADDRINUSE else os.strerror(e.errno))
PYTHON
}

# next_free_port PORT: PORT, or the first port above it, that a server could
# listen on at 127.0.0.1 right now; nothing where none is free up to 65535.
next_free_port() {
  python3 - "$1" <<'PYTHON'
import socket, sys
for port in range(int(sys.argv[1]), 65536):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", port))
        s.listen()
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
PYTHON
}

# go_offline "$0" "$@": for tests; runs the calling script again inside a new,
# empty network namespace with only the loopback interface up, so that nothing
# it does can reach beyond this machine: not even the reverse lookups that
# varpage makes of client addresses /etc/hosts does not hold. A mount
# namespace of its own too (VARPAGE_OWN_MOUNTS), where own_etc can give it a
# copy of /etc. Returns 1, without running anything, where no namespace can
# be made.
go_offline() {
  [ -n "${VARPAGE_OFFLINE:-}" ] && return 0
  unshare -n -m true 2>/dev/null || return 1
  VARPAGE_OFFLINE=1 VARPAGE_OWN_MOUNTS=1 exec unshare -n -m -- \
    bash -c 'ip link set lo up && exec bash "$@"' bash "$@"
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
  VARPAGE_OFFLINE=1 VARPAGE_OWN_MOUNTS=1 exec unshare -n -m -- \
    bash -c 'mount --bind "$0" /etc/hosts && ip link set lo up && exec bash "$@"' "$hosts" "$@"
}

# go_offline_with_own_resolver "$0" "$@": for tests; as go_offline, and in a
# mount namespace of its own too, where use_own_resolver can point the
# lookups at a resolver of the test's. Exits 77 (skipped) where that cannot
# be done.
go_offline_with_own_resolver() {
  [ -n "${VARPAGE_OWN_RESOLVER:-}" ] && return 0
  if ! unshare -n -m true 2>/dev/null; then
    echo "SKIPPED: no network and mount namespace can be made here"
    exit 77
  fi
  VARPAGE_OWN_RESOLVER=1 VARPAGE_OFFLINE=1 VARPAGE_OWN_MOUNTS=1 exec unshare -n -m -- \
    bash -c 'ip link set lo up && exec bash "$@"' bash "$@"
}

# own_etc DIR: in a mount namespace of the test's own (VARPAGE_OWN_MOUNTS),
# /etc becomes a writable copy of itself, its changes kept in DIR/own-etc, so
# that a user a configuration's header adds (adduser) exists in here alone
# and the machine's /etc/passwd never changes. Mounts on files below /etc
# (/etc/hosts, in a container or from go_offline_with_hosts) are moved on
# top of the copy, as they were. Returns 1 where it cannot be done.
own_etc() {
  local layer="$1/own-etc" sub submounts
  [ -n "${VARPAGE_OWN_ETC:-}" ] && return 0
  [ -n "${VARPAGE_OWN_MOUNTS:-}" ] && [ "$(id -u)" -eq 0 ] || return 1
  submounts="$(awk 'index($5, "/etc/") == 1 { print $5 }' /proc/self/mountinfo)"
  mkdir -p "$layer/up" "$layer/work" "$layer/moved" || return 1
  # Moved, not bound, out of the way: nothing of the machine's /etc stays
  # below DIR for a removal of DIR to reach.
  while read -r sub; do
    [ -n "$sub" ] || continue
    if [ -d "$sub" ]; then mkdir -p "$layer/moved$sub"; else mkdir -p "$layer/moved${sub%/*}" && touch "$layer/moved$sub"; fi
    mount --move "$sub" "$layer/moved$sub" || return 1
  done <<<"$submounts"
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$layer/up,workdir=$layer/work" /etc || return 1
  while read -r sub; do
    [ -n "$sub" ] && { mount --move "$layer/moved$sub" "$sub" || return 1; }
  done <<<"$submounts"
  VARPAGE_OWN_ETC=1
}

# use_own_resolver SITE: after go_offline_with_own_resolver; this
# namespace's lookups go to the hosts file, then to a resolver on
# 127.0.0.1:53, such as tests/servers/slow_resolver.py with SITE/dns as its
# folder (made here).
use_own_resolver() {
  local site="$1"
  printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$site/resolv.conf"
  printf 'hosts: files dns\n' >"$site/nsswitch.conf"
  if ! mount --bind "$site/resolv.conf" /etc/resolv.conf ||
     ! mount --bind "$site/nsswitch.conf" /etc/nsswitch.conf; then
    echo "SKIPPED: cannot bind-mount over /etc/resolv.conf and /etc/nsswitch.conf"
    exit 77
  fi
  mkdir "$site/dns"
}

# start_slow_resolver SITE: use_own_resolver, and slow_resolver.py started
# there (stop_servers stops it): it names 127.0.0.2 slow-client.test, but
# only once SITE/dns/release exists; SITE/dns/asked tells that it was asked.
start_slow_resolver() {
  local site="$1" i
  use_own_resolver "$site"
  spawn python3 "$VARPAGE_ROOT/tests/servers/slow_resolver.py" "$site/dns" slow-client.test
  for i in $(seq 100); do [ -e "$site/dns/ready" ] && return 0; sleep 0.1; done
  echo "FAILED: the resolver did not start"
  exit 1
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
# the modules its configurations and restrictions load, and the user they run
# as (and adduser, which makes varpage's own where spawn-fcgi starts it).
skip_unless_server_installed() {
  if ! getent passwd www-data >/dev/null || ! getent group www-data >/dev/null; then
    echo "SKIPPED: there is no user and group www-data, whom the configurations run as"
    exit 77
  fi
  case "$1" in
    lighttpd | lighttpd_fastcgi) skip_unless_installed /usr/sbin/lighttpd ;;
    apache)
      skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_cgi.so \
        /usr/lib/apache2/modules/mod_authz_host.so
      ;;
    apache_fastcgi)
      skip_unless_installed /usr/sbin/apache2 /usr/lib/apache2/modules/mod_proxy_fcgi.so \
        /usr/lib/apache2/modules/mod_authz_host.so /usr/bin/spawn-fcgi /usr/sbin/adduser
      ;;
    nginx) skip_unless_installed /usr/sbin/nginx /usr/sbin/fcgiwrap /usr/bin/spawn-fcgi /usr/sbin/adduser ;;
    nginx_fastcgi) skip_unless_installed /usr/sbin/nginx /usr/bin/spawn-fcgi /usr/sbin/adduser ;;
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
# configurations listen on 127.0.0.1:8080).
LISTEN_HOST=127.0.0.1
LISTEN_EDIT=""

# render_config NAME SITE PORT: config/NAME.conf made SITE's own the way
# docs/servers.md tells a user to: copied into the folder under its own name,
# with the folder /srv/varpage and the port 8080 changed throughout (the port
# first: a folder's name may hold 8080). Prints the path of the copy.
render_config() {
  local name="$1" site="$2" port="$3"
  local out="$site/${name##*/}.conf"
  sed -e "$LISTEN_EDIT" -e "s|8080|$port|g" -e "s|/srv/varpage|$site|g" \
    "$VARPAGE_ROOT/config/$name.conf" >"$out"
  echo "$out"
}

# config_commands CONFIG: the commands that start it, as its header gives
# them to the user ("#   $ COMMAND" lines), in order.
config_commands() {
  sed -n 's/^#   \$ //p' "$1"
}

# start_config NAME SITE PORT: starts the server of config/NAME.conf for SITE
# on PORT as a user would: render_config, then run_config.
start_config() {
  run_config "$(render_config "$1" "$2" "$3")" "$3"
}

# run_config CONFIG PORT: runs the commands of CONFIG's header, as they stand,
# and waits for its server on PORT. The servers stay in the foreground (their
# errors, which go to standard error, in error.log beside CONFIG);
# spawn-fcgi starts its program in a session of its own and says its pid.
# Not run as root, the commands cannot give anything to www-data or to
# varpage: their servers stay with the user that runs them, the folder made
# for lighttpd's socket stays the user's own, and no user is added. As root,
# a user is added to a copy of /etc (own_etc) in the test's namespace.
run_config() {
  local config="$1" port="$2" command words output pid
  local errors="${config%/*}/error.log"
  while IFS= read -r command; do
    read -ra words <<<"$command"
    case "${words[0]}" in
      lighttpd | apache2 | nginx)
        PATH="$PATH:/usr/sbin" spawn "${words[@]}" 2>>"$errors"
        ;;
      spawn-fcgi)
        output="$("${words[@]}" 2>&1)" || { echo "$command: $output" >&2; return 1; }
        pid="$(sed -n 's/.*PID: \([0-9]*\).*/\1/p' <<<"$output")"
        [ -n "$pid" ] || { echo "$command: no pid in: $output" >&2; return 1; }
        SERVER_PIDS+=("$pid")
        ;;
      adduser) add_user "${config%/*}" "${words[@]}" || return 1 ;;
      install)
        if [ "$(id -u)" -ne 0 ]; then
          read -ra words < <(sed -E 's/ -[og] [^ ]+//g' <<<"${words[*]}")
        fi
        "${words[@]}" || return 1
        ;;
      *)
        echo "run_config: $config: no way to run: $command" >&2
        return 1
        ;;
    esac
  done < <(config_commands "$config")
  wait_for_port "$port"
}

# add_user DIR adduser ARGUMENT...: the program's own user, as a header adds
# it. Not run as root, nothing can be given to it (spawn-fcgi ignores -u and
# -g), so it is not added; as root, it is added to a copy of /etc of the
# test's own (own_etc DIR), never to the machine's. Exits 77 (skipped) where
# no such copy can be made.
add_user() {
  local dir="$1" output
  shift
  [ "$(id -u)" -eq 0 ] || return 0
  if ! own_etc "$dir"; then
    echo "SKIPPED: $* would change this machine's users: no mount namespace of the test's own for a copy of /etc"
    exit 77
  fi
  output="$("$@" 2>&1)" || { echo "$*: $output" >&2; return 1; }
}

# spawn COMMAND...: starts a server in the background in a session and
# process group of its own, so that stop_servers reaches its workers and
# children too, and wait_for_port knows them.
spawn() {
  setsid "$@" &
  SERVER_PIDS+=($!)
}

# running PID: whether PID is a process that has not ended (an ended child
# not yet waited for still has a pid).
running() {
  local state
  state="$(ps -o stat= -p "$1")" && [[ "$state" != Z* ]]
}

# listens_in_session PORT SID: whether something listens on TCP PORT of
# LISTEN_HOST, and every socket listening there (on that address or on every
# address) belongs to a process of session SID. A program on the same port of
# another address (a development server on [::1], say) is not in the way.
listens_in_session() {
  local port="$1" sid="$2" line pid ours found="" local_address
  while IFS= read -r line; do
    local_address="$(awk '{ print $4 }' <<<"$line")"
    case "$local_address" in
      "$LISTEN_HOST:$port" | "0.0.0.0:$port" | "[::]:$port" | "*:$port") ;;
      *) continue ;;
    esac
    ours=""
    for pid in $(grep -o 'pid=[0-9]*' <<<"$line" | cut -d= -f2); do
      [ "$(ps -o sid= -p "$pid" | tr -d ' ')" = "$sid" ] && ours=1
    done
    [ -n "$ours" ] || return 1
    found=1
  done < <(ss -Hltnp "sport = :$port")
  [ -n "$found" ]
}

# wait_for_port PORT [PID]: until the server started as PID (by default the
# one spawned last) answers HTTP on LISTEN_HOST:PORT, for up to 30 s. The
# answer must be its own: another program that holds the port would answer
# for a server that could not take it. So PID must still run, and every
# socket listening on PORT must be its session's. With no PID and nothing
# spawned, any answer will do.
wait_for_port() {
  local port="$1" pid="${2:-}" answered="" deadline=$((SECONDS + 30))
  [ -z "$pid" ] && [ ${#SERVER_PIDS[@]} -gt 0 ] && pid="${SERVER_PIDS[-1]}"
  # By the clock, not by rounds: on a busy machine a round takes a while.
  while [ "$SECONDS" -lt "$deadline" ]; do
    if [ -n "$pid" ] && ! running "$pid"; then
      echo "the server (pid $pid) ended without answering on $LISTEN_HOST:$port" >&2
      return 1
    fi
    if curl -s -g -o /dev/null "http://$LISTEN_HOST:$port/"; then
      answered=1
      if [ -z "$pid" ] || listens_in_session "$port" "$pid"; then return 0; fi
    fi
    sleep 0.1
  done
  if [ -n "$answered" ]; then
    echo "another program than the server (pid $pid) answers on $LISTEN_HOST:$port" >&2
  else
    echo "nothing answers on $LISTEN_HOST:$port" >&2
  fi
  return 1
}

start_lighttpd() {
  start_config lighttpd "$1" "$2"
}

start_apache() {
  start_config apache "$1" "$2"
}

# nginx and fcgiwrap, which spawn-fcgi starts on a socket for nginx's
# workers.
start_nginx() {
  start_config nginx "$1" "$2"
}

# As docs/servers.md has it: as www-data where started as root. With
# SITE/busybox.conf, such as config/restrict/busybox.conf, as its
# configuration: kept outside the folder it serves.
start_busybox() {
  local site="$1" port="$2" config=() user=()
  [ -f "$site/busybox.conf" ] && config=(-c "$site/busybox.conf")
  [ "$(id -u)" -eq 0 ] && user=(-u www-data:www-data)
  spawn busybox httpd -f -p "127.0.0.1:$port" -h "$site/htdocs" "${user[@]}" "${config[@]}"
  wait_for_port "$port"
}

# The same servers handing varpage its requests over FastCGI, from
# config/fastcgi/. lighttpd starts varpage itself; for nginx and Apache,
# spawn-fcgi starts it on a socket the servers' workers can reach.
start_lighttpd_fastcgi() {
  start_config fastcgi/lighttpd "$1" "$2"
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
  start_config fastcgi/nginx "$1" "$2"
}

start_apache_fastcgi() {
  start_config fastcgi/apache "$1" "$2"
}

# start_varpage_fastcgi SITE: varpage alone on SITE/varpage.sock, as the
# FastCGI configurations' headers start it (as its own user, made first),
# with -n to stay in the foreground where stop_servers finds it.
start_varpage_fastcgi() {
  local site="$1" i
  add_user "$site" adduser --system --group --no-create-home varpage || return 1
  spawn /usr/bin/spawn-fcgi -n -s "$site/varpage.sock" -M 0660 -U www-data -G www-data \
    -u varpage -g varpage -- "$site/cgi-bin/varpage"
  for i in $(seq 50); do [ -S "$site/varpage.sock" ] && return 0; sleep 0.1; done
  echo "varpage is not listening on $site/varpage.sock" >&2
  return 1
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
