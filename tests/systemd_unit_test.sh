#!/bin/bash
# The systemd units as systemd reads them: `systemd-analyze verify` has
# nothing to say about them, and `systemd-analyze security` rates the
# service's sandbox 2.0 or lower ("OK"); the same with the drop-ins that put
# them on TCP, which must listen on one address, never all, and let in the
# same web servers at every level. (The calls its filter allows are checked
# against the running program by servers/syscall_filter_test.sh.)
#   systemd_unit_test.sh SOURCE-DIR PATH-TO-VARPAGE
set -uo pipefail

source_dir="$1"
varpage="$(realpath "$2")"
command -v systemd-analyze >/dev/null ||
  { echo "SKIPPED: systemd-analyze is not installed (package systemd)"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
expect() {  # expect DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failed=1; fi
}

# The units as installed, naming the program built here. SED-EXPRESSION
# changes the service on the way.
units() {  # units FOLDER [SED-EXPRESSION]
  mkdir -p "$1"
  sed -e "s|@VARPAGE_PROGRAM@|$varpage|" -e "${2:-}" "$source_dir/packaging/systemd/varpage.service.in" \
    >"$1/varpage.service"
  cp "$source_dir/packaging/systemd/varpage.socket" "$1/"
}
# The units with the TCP drop-ins beside them, where systemd-analyze looks
# for drop-ins of a unit it is given by path. SED-EXPRESSION changes UNIT's
# drop-in on the way.
tcp_units() {  # tcp_units FOLDER [UNIT SED-EXPRESSION]
  local unit
  units "$1"
  for unit in socket service; do
    mkdir -p "$1/varpage.$unit.d"
    sed -e "$([ "$unit" = "${2:-}" ] && echo "$3")" "$source_dir/packaging/systemd/varpage.$unit.d/tcp.conf" \
      >"$1/varpage.$unit.d/tcp.conf"
  done
}

# Everything verify prints, and whether it failed. It exits 0 on much that is
# wrong (a value it cannot parse is a warning, the setting ignored), so its
# output is the verdict: empty or not.
# The manual that Documentation= names is not installed here: the package
# test checks it with the manual in place.
verify() {  # verify FOLDER -> FOLDER/verify.log
  (cd "$1" && systemd-analyze verify --man=no ./varpage.socket ./varpage.service >verify.log 2>&1) ||
    echo "systemd-analyze verify exited with $?" >>"$1/verify.log"
}

# The overall exposure systemd-analyze gives the service, as a number.
exposure() {  # exposure FOLDER
  (cd "$1" && systemd-analyze security --offline=yes ./varpage.service 2>&1) |
    sed -nE 's/^→ Overall exposure level for varpage\.service: ([0-9]+\.[0-9]+) .*/\1/p'
}
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && a + 0 <= b + 0) }'; }

units "$work/shipped"
verify "$work/shipped"
cat "$work/shipped/verify.log"
expect "systemd-analyze verify has nothing to say" test ! -s "$work/shipped/verify.log"
# The same check on a value systemd cannot parse, which verify only warns of.
units "$work/misspelt" 's/^ProtectProc=invisible$/ProtectProc=invisibl/'
verify "$work/misspelt"
sed 's/^/  misspelt: /' "$work/misspelt/verify.log"
expect "a misspelt value (ProtectProc=invisibl) makes the same check fail" \
  test -s "$work/misspelt/verify.log"

score="$(exposure "$work/shipped")"
echo "exposure: ${score:-none found}"
expect "systemd-analyze security: 2.0 or lower" at_most "$score" 2.0
# The same reading of a unit without its sandbox (everything from the
# sandbox's first setting on left out), which must rate worse.
units "$work/bare" '/^DynamicUser=/,$d'
bare="$(exposure "$work/bare")"
echo "exposure without the sandbox: ${bare:-none found}"
above() { [ -n "$1" ] && ! at_most "$1" "$2"; }
expect "the score read is the one systemd-analyze gives (no sandbox: above 2.0)" above "$bare" 2.0

# On TCP.
tcp_units "$work/tcp"
verify "$work/tcp"
cat "$work/tcp/verify.log"
expect "with the TCP drop-ins, systemd-analyze verify has nothing to say" test ! -s "$work/tcp/verify.log"
# verify reads both drop-ins: an address it cannot parse in either shows.
for unit in socket service; do
  tcp_units "$work/tcp-misspelt-$unit" "$unit" 's/^IPAddressAllow=192\.0\.2\.10/IPAddressAllow=192.0.2.300/'
  verify "$work/tcp-misspelt-$unit"
  sed "s/^/  misspelt in the $unit's drop-in: /" "$work/tcp-misspelt-$unit/verify.log"
  expect "an address misspelt in the $unit's drop-in makes the check fail" \
    test -s "$work/tcp-misspelt-$unit/verify.log"
done
tcp_score="$(exposure "$work/tcp")"
echo "exposure on TCP: ${tcp_score:-none found}"
expect "systemd-analyze security on TCP: 2.0 or lower" at_most "$tcp_score" 2.0
# The address filter is the drop-in's, as systemd-analyze reads it.
expect "systemd-analyze security sees the service's address allow list" \
  grep -q 'IPAddressDeny=.*allow list with non-localhost entries' \
  <(cd "$work/tcp" && systemd-analyze security --offline=yes ./varpage.service 2>&1)

# The drop-ins' values: the last one given for NAME in FILE, and every one.
setting() { sed -n "s/^$1=//p" "$2" | tail -n 1; }
socket_conf="$work/tcp/varpage.socket.d/tcp.conf"
service_conf="$work/tcp/varpage.service.d/tcp.conf"
listen="$(setting ListenStream "$socket_conf")"
echo "listens on: $listen"
one_address() { [[ "$1" =~ ^([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+|\[[0-9a-fA-F:]+\]):[0-9]+$ ]] && [[ ! "$1" =~ ^(0\.0\.0\.0|\[::\]): ]]; }
expect "the socket listens on one address and port, not all ($listen)" one_address "$listen"
expect "the socket drops the unix socket first (an empty ListenStream=)" \
  test "$(sed -n 's/^ListenStream=//p' "$socket_conf" | head -n 1)" = ""
expect "the socket denies every address but those it allows" test "$(setting IPAddressDeny "$socket_conf")" = any
expect "the service denies every address but those it allows" test "$(setting IPAddressDeny "$service_conf")" = any
# The web servers: the same in FCGI_WEB_SERVER_ADDRS, on the socket, and on
# the service (which also lets the lookups out).
web="$(sed -n 's/^Environment=FCGI_WEB_SERVER_ADDRS=//p' "$service_conf" | tr ',' ' ' | xargs -n1 | sort | xargs)"
on_socket="$(setting IPAddressAllow "$socket_conf" | xargs -n1 | sort | xargs)"
on_service="$(setting IPAddressAllow "$service_conf" | xargs -n1 | grep -vx localhost | sort | xargs)"
echo "web servers: FCGI_WEB_SERVER_ADDRS: $web; socket: $on_socket; service: $on_service"
expect "FCGI_WEB_SERVER_ADDRS names the web servers" test -n "$web"
expect "the socket lets in the web servers and no one else" test "$on_socket" = "$web"
expect "the service lets in the web servers (and its name servers)" test "$on_service" = "$web"

# Two web servers, as the service's drop-in says to write them: its example
# lines in place of its settings, and the socket given the same list. systemd
# takes every address (a space in Environment= would have dropped one) and
# the three lists agree.
example() { sed -n "s/^#[[:space:]]*\($1=\)/\1/p" "$source_dir/packaging/systemd/varpage.service.d/tcp.conf"; }
two_env="$(example Environment)"
two_allow="$(example IPAddressAllow)"
expect "the service's drop-in shows how to name two web servers" test -n "$two_env" -a -n "$two_allow"
tcp_units "$work/tcp-two" service "s|^Environment=FCGI_WEB_SERVER_ADDRS=.*|$two_env|; s|^IPAddressAllow=.*|$two_allow|"
sed -i "s|^IPAddressAllow=.*|IPAddressAllow=$(sed 's/^IPAddressAllow=//; s/ *localhost//' <<<"$two_allow")|" \
  "$work/tcp-two/varpage.socket.d/tcp.conf"
verify "$work/tcp-two"
sed 's/^/  two web servers: /' "$work/tcp-two/verify.log"
expect "with two web servers as the drop-in writes them, systemd-analyze verify has nothing to say" \
  test ! -s "$work/tcp-two/verify.log"
two_web="$(sed -n 's/^Environment=FCGI_WEB_SERVER_ADDRS=//p' "$work/tcp-two/varpage.service.d/tcp.conf" | tr ',' ' ' | xargs -n1 | sort | xargs)"
two_socket="$(setting IPAddressAllow "$work/tcp-two/varpage.socket.d/tcp.conf" | xargs -n1 | sort | xargs)"
two_service="$(setting IPAddressAllow "$work/tcp-two/varpage.service.d/tcp.conf" | xargs -n1 | grep -vx localhost | sort | xargs)"
echo "two web servers: FCGI_WEB_SERVER_ADDRS: $two_web; socket: $two_socket; service: $two_service"
expect "two web servers, named alike at every level" \
  test "$(wc -w <<<"$two_web")" = 2 -a "$two_socket" = "$two_web" -a "$two_service" = "$two_web"
exit $failed
