#!/bin/bash
# The systemd units as systemd reads them: `systemd-analyze verify` has
# nothing to say about them, and `systemd-analyze security` rates the
# service's sandbox 2.0 or lower ("OK"). (The calls its filter allows are
# checked against the running program by servers/syscall_filter_test.sh.)
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

# Everything verify prints, and whether it failed. It exits 0 on much that is
# wrong (a value it cannot parse is a warning, the setting ignored), so its
# output is the verdict: empty or not.
verify() {  # verify FOLDER -> FOLDER/verify.log
  (cd "$1" && systemd-analyze verify ./varpage.socket ./varpage.service >verify.log 2>&1) ||
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
exit $failed
