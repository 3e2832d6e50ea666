# Shell functions for tests that follow docs/servers.md's Debian recipes on
# this machine's own packages, from their stock configuration, as an
# administrator would: the recipe's commands run as written (service,
# lighty-enable-mod, a2enmod, htpasswd), its configuration goes into the
# Debian file the guide names, and the server starts from its init script on
# port 80. All of it happens in private mount and network namespaces, over
# throwaway copies of everything a recipe or a server writes, so the host's
# /etc, /var, /srv, /run and /usr/lib/cgi-bin never change, port 80 is free,
# and no packet leaves the loopback interface. Source after
# scripts/lib/servers.sh.

# debian_enter VARPAGE "$0" "$@": as root, runs the calling script again in
# new mount, network and process namespaces, then (in there) lays out the
# sandbox with VARPAGE installed as /usr/lib/cgi-bin/varpage, as the package
# installs it.
# Exits 77 where that cannot be done.
debian_enter() {
  local varpage="$1" dir rc
  shift
  if [ -z "${VARPAGE_SANDBOX:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "SKIPPED: the Debian recipes run the servers' init scripts, which needs root"
      exit 77
    fi
    if ! unshare -m -n -p -f --mount-proc true 2>/dev/null; then
      echo "SKIPPED: no private mount, network and process namespaces can be made here"
      exit 77
    fi
    # Made out here so that it can be removed once the namespace is gone.
    dir="$(mktemp -d /tmp/varpage-debian.XXXXXX)"
    # A process namespace too: init scripts look for their server by name
    # (pidof apache2) and must not find those of tests running beside this
    # one; and whatever is left when the test ends goes with it.
    VARPAGE_SANDBOX="$dir" VARPAGE_OFFLINE=1 unshare -m -n -p -f --mount-proc -- bash "$@"
    rc=$?
    rmdir "$dir" 2>/dev/null || true
    exit $rc
  fi
  sandbox="$VARPAGE_SANDBOX"
  # Nothing mounted from here on may reach the host's namespace.
  mount --make-rprivate /
  ip link set lo up
  mount -t tmpfs -o mode=0755 varpage-sandbox "$sandbox"
  # Copy-on-write layers: a recipe changes its copy, never the host's files.
  overlay_over /etc
  overlay_over /var
  overlay_over /srv
  # /run as after a reboot: no pid file or socket of the host's servers.
  mount -t tmpfs -o mode=0755 varpage-run /run
  install -d -m 1777 /run/lock
  # The folder the package installs to, holding nothing but the program.
  install -d -m 0755 "$sandbox/cgi-bin"
  install -o root -g root -m 0755 "$varpage" "$sandbox/cgi-bin/varpage"
  [ -d /usr/lib/cgi-bin ] || overlay_over /usr/lib
  mkdir -p /usr/lib/cgi-bin
  mount --bind "$sandbox/cgi-bin" /usr/lib/cgi-bin
  SANDBOX_MNT_NS="$(readlink /proc/self/ns/mnt)"
  trap debian_leave EXIT
}

# overlay_over DIR: DIR becomes a writable copy of itself, its changes kept
# in the sandbox. Mounts below DIR (/etc/hosts in a container, say) are put
# back on top, as they were.
overlay_over() {
  local dir="$1" layer="$sandbox/layers${1//\//_}" sub submounts
  [ -d "$dir" ] || return 0
  submounts="$(awk -v d="$dir/" 'index($5, d) == 1 { print $5 }' /proc/self/mountinfo)"
  mkdir -p "$layer/up" "$layer/work" "$layer/below"
  [ -z "$submounts" ] || mount --rbind "$dir" "$layer/below"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/up,workdir=$layer/work" "$dir"
  while read -r sub; do
    [ -n "$sub" ] && mount --bind "$layer/below${sub#"$dir"}" "$sub"
  done <<<"$submounts"
}

# debian_leave: stops what the test started: every server whose pid file
# the sandbox holds, then any process still in the sandbox's mount namespace
# (the programs those servers started), each by its pid.
debian_leave() {
  local pid pidfile
  for pidfile in /run/*.pid /run/*/*.pid; do
    [ -f "$pidfile" ] && stop_pid "$(cat "$pidfile")"
  done
  for pid in $(sandbox_pids); do stop_pid "$pid"; done
}

# sandbox_pids: the processes in the sandbox's mount namespace but this
# shell and its own subshells.
sandbox_pids() {
  local proc pid
  for proc in /proc/[0-9]*; do
    pid="${proc#/proc/}"
    [ "$(readlink "$proc/ns/mnt" 2>/dev/null)" = "$SANDBOX_MNT_NS" ] || continue
    [ "$pid" = $$ ] || [ "$pid" = "$BASHPID" ] && continue
    # Subshells of this script share its command line; servers do not.
    [ "$(tr '\0' ' ' <"$proc/cmdline" 2>/dev/null)" = "$(tr '\0' ' ' </proc/$$/cmdline)" ] && continue
    echo "$pid"
  done
}

# stop_pid PID: TERM, and KILL after 5 s.
stop_pid() {
  local pid="$1" i
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}

# guide_block GUIDE NAME: the code block of GUIDE that follows the line
# `<!-- test: NAME -->` (a comment Markdown does not show); fails where there
# is none. guide_block_lang GUIDE NAME: the language its fence names (sh),
# or nothing.
guide_block() {
  # A block inside a list item is indented, its mark and fences too: the
  # lines come out without the fence's indentation.
  awk -v mark="<!-- test: $2 -->" '
    { line = $0; sub(/^ +/, "", line) }
    line == mark { found = 1; next }
    found == 1 && line ~ /^```/ { found = 2; indent = index($0, "`") - 1; next }
    found == 2 && line ~ /^```/ { exit }
    found == 2 { print substr($0, indent + 1) }
    END { exit found != 2 }' "$1"
}
guide_block_lang() {
  awk -v mark="<!-- test: $2 -->" '
    $0 == mark { found = 1; next }
    found && /^```/ { print substr($0, 4); exit }' "$1"
}

# run_shell_block TEXT: runs a shell block of the guide line by line, as a
# reader pastes it; `apt-get install` lines are not run, but what they
# install must be here already. A command that asks for a password
# (htpasswd) reads RECIPE_INPUT: it runs without a terminal. Where
# RECIPE_MACHINE names one (see machine), it runs there. Fails at the first
# command that fails.
run_shell_block() {
  local line package
  while IFS= read -r line; do
    [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
    if [[ "$line" =~ ^apt-get\ install ]]; then
      for package in ${line#apt-get install}; do
        [[ "$package" == -* ]] && continue
        if ! dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
          echo "SKIPPED: the recipe needs the package $package, which is not installed"
          exit 77
        fi
      done
      echo "  (installed already) $line"
      continue
    fi
    echo "  \$ $line${RECIPE_MACHINE:+ (on $RECIPE_MACHINE)}"
    if ! ${RECIPE_MACHINE:+nsenter "--net=/run/netns/$RECIPE_MACHINE"} setsid -w bash -c "$line" \
      <<<"${RECIPE_INPUT:-}" >"$sandbox/output" 2>&1; then
      sed 's/^/    /' "$sandbox/output"
      echo "FAILED: the recipe's command failed: $line"
      exit 1
    fi
    { tail -n 3 "$sandbox/output"; echo; } | sed -e '/^$/d' -e 's/^/    /'
  done <<<"$1"
}

# place_block TEXT: puts a configuration block where its first line says,
# as the guide tells the reader to:
#   # /etc/...                         the whole of a new file
#   # in the server block of FILE      after FILE's first server_name line
#   # in the location block of FILE    before the end of FILE's varpage location
#   # in the :80 block of FILE         after the line that opens Caddy's :80 site
#   # in the handle block of FILE      after the line that opens varpage's handle
place_block() {
  local text="$1" first file
  # (indented as it goes in, where the file is indented: Caddy's)
  first="$(head -n1 <<<"$text" | sed 's/^[[:space:]]*//')"
  case "$first" in
    "# /etc/"*)
      file="${first#"# "}"
      file="${file%% *}"
      mkdir -p "$(dirname "$file")"
      printf '%s\n' "$text" >"$file"
      ;;
    "# in the server block of "*)
      file="${first#"# in the server block of "}"
      insert_after "$file" '^[[:space:]]*server_name ' "$text"
      ;;
    "# in the location block of "*)
      file="${first#"# in the location block of "}"
      insert_in_location "$file" "$text"
      ;;
    "# in the :80 block of "*)
      file="${first#"# in the :80 block of "}"
      insert_after "$file" '^:80 [{]' "$text"
      ;;
    "# in the handle block of "*)
      file="${first#"# in the handle block of "}"
      insert_after "$file" '^[[:space:]]*handle .cgi-bin.varpage' "$text"
      ;;
    *)
      echo "FAILED: the guide does not say which file this block goes in: $first"
      exit 1
      ;;
  esac
  echo "  (put into ${file:-?}:)"
  sed 's/^/    | /' <<<"$text"
}

# insert_after FILE REGEX TEXT: TEXT after the first line matching REGEX.
insert_after() {
  local file="$1" tmp
  tmp="$(mktemp)"
  printf '%s\n' "$3" >"$tmp"
  grep -qE "$2" "$file" || { echo "FAILED: no line matches $2 in $file"; exit 1; }
  sed -i -E "0,/$2/{/$2/r $tmp
}" "$file"
  rm -f "$tmp"
}

# insert_in_location FILE TEXT: TEXT before the closing brace of the first
# location of FILE for varpage.
insert_in_location() {
  local file="$1" tmp
  tmp="$(mktemp)"
  printf '%s\n' "$2" >"$tmp"
  awk -v add="$tmp" '
    /^[[:space:]]*location[[:space:]]+\/cgi-bin\// && !done { inside = 1; depth = 0 }
    inside {
      depth += gsub(/\{/, "{") - gsub(/\}/, "}")
      if (depth == 0 && /\}/) {
        while ((getline line < add) > 0) print line
        inside = 0; done = 1
      }
    }
    { print }
    END { if (!done) exit 1 }' "$file" >"$file.new" || {
    echo "FAILED: no varpage location in $file"
    exit 1
  }
  cat "$file.new" >"$file"
  rm -f "$file.new" "$tmp"
}

# apply NAME [SED]: the code block of $guide marked NAME: a shell block is
# run (what it asks for, such as a password, read from $RECIPE_INPUT), a
# configuration block put where it says. SED swaps the published
# addresses and ports for the test's, where two of a kind share this machine.
apply() {
  local text lang
  if ! text="$(guide_block "$guide" "$1")"; then
    echo "FAILED: the guide has no block marked $1"
    exit 1
  fi
  lang="$(guide_block_lang "$guide" "$1")"
  [ -n "${2:-}" ] && text="$(sed -e "$2" <<<"$text")"
  echo "-- $1"
  if [ "$lang" = sh ]; then
    run_shell_block "$text"
  else
    place_block "$text"
  fi
}

# Other machines. This namespace is the web server's, 192.0.2.10 and
# 2001:db8::10 (with 192.0.2.11, an address of it that the backends do not
# know); machine NAME ADDRESS... makes a network namespace NAME holding
# ADDRESS..., joined to this one by a veth pair and reaching 192.0.2.0/24 and
# 2001:db8::/32 through it. Neighbours are written in on both ends: nothing
# waits on address resolution, and nothing leaves the pair. Commands run
# there with nsenter --net=/run/netns/NAME, in this mount namespace.
machine() {
  local name="$1" address here_mac there_mac
  shift
  if [ -z "$(ip -o addr show dev lo to 192.0.2.10/32)" ]; then
    ip addr add 192.0.2.10/32 dev lo
    ip addr add 192.0.2.11/32 dev lo
    ip addr add 2001:db8::10/128 dev lo nodad
  fi
  ip netns add "$name"
  ip link add "to-$name" type veth peer name eth0 netns "$name"
  ip link set "to-$name" up
  ip -n "$name" link set lo up
  ip -n "$name" link set eth0 up
  here_mac="$(link_address "to-$name")"
  there_mac="$(link_address eth0 -n "$name")"
  for address in "$@"; do
    if [[ "$address" == *:* ]]; then
      ip -n "$name" addr add "$address/128" dev eth0 nodad
      ip -6 route add "$address/128" dev "to-$name" src 2001:db8::10
    else
      ip -n "$name" addr add "$address/32" dev eth0
      ip route add "$address/32" dev "to-$name" src 192.0.2.10
    fi
    ip neigh replace "$address" lladdr "$there_mac" dev "to-$name" nud permanent
  done
  ip -n "$name" route add 192.0.2.0/24 dev eth0
  ip -n "$name" -6 route add 2001:db8::/32 dev eth0
  for address in 192.0.2.10 192.0.2.11 2001:db8::10; do
    ip -n "$name" neigh replace "$address" lladdr "$here_mac" dev eth0 nud permanent
  done
}
# link_address DEVICE [-n NAMESPACE]: DEVICE's Ethernet address (from ip:
# /sys is that of the namespace it was mounted in).
link_address() {
  ip "${@:2}" -o link show "$1" | sed -n 's|.*link/ether \([0-9a-f:]*\).*|\1|p'
}
# Clients on a machine of their own: address -> the machine (see ask).
declare -A client_machine=()

# Asking the server. ask ADDRESS PATH [USER:PASSWORD]: from ADDRESS (the
# request goes to 127.0.0.1, or to ::1 when ADDRESS is ::1; from a client on
# a machine of its own, to 192.0.2.10 or 2001:db8::10), with the headers in
# host_header, sets $code (000 when nothing answers) and $body.
DEBIAN_PORT=80
host_header=()
ask() {
  local reply url="http://127.0.0.1:$DEBIAN_PORT$2" auth=() there=()
  [ "$1" = ::1 ] && url="http://[::1]:$DEBIAN_PORT$2"
  if [ -n "${client_machine[$1]:-}" ]; then
    there=(nsenter "--net=/run/netns/${client_machine[$1]}")
    url="http://192.0.2.10:$DEBIAN_PORT$2"
    [[ "$1" == *:* ]] && url="http://[2001:db8::10]:$DEBIAN_PORT$2"
  fi
  [ -n "${3:-}" ] && auth=(-u "$3")
  reply="$("${there[@]}" curl -s -g --path-as-is --max-time 20 -w '\n%{http_code}' --interface "$1" "${auth[@]}" "${host_header[@]}" "$url")"
  code="${reply##*$'\n'}"
  body="${reply%$'\n'*}"
}
# is_page_for ADDRESS: whether $body is the whole page, made for ADDRESS.
is_page_for() {
  [[ "$body" == *"<td>REMOTE_ADDR</td>"$'\r\n\t\t'"<td>$1</td>"* ]] && [[ "$body" == *"</html>"* ]]
}
is_page() { [[ "$body" == *"<td>REMOTE_ADDR</td>"* ]]; }

# wait_for_http PORT: until something answers on 127.0.0.1:PORT, 30 s.
wait_for_http() {
  local _
  for _ in $(seq 300); do
    curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0
    sleep 0.1
  done
  echo "FAILED: nothing answers on port $1"
  return 1
}
