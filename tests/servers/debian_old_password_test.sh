#!/bin/bash
# The lighttpd password test must catch a password that leaves the page open
# at /: on a copy of the guide whose stand-alone lighttpd password covers
# /cgi-bin/varpage only (as the guide once had it), debian_test.sh must fail,
# and fail at /.
#   debian_old_password_test.sh PATH-TO-VARPAGE
set -uo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
guide="$(mktemp)"
trap 'rm -f "$guide"' EXIT
# Only the block of the stand-alone configuration changes.
awk '
  /^<!-- test: / { block = $3 }
  block == "lighttpd-password-whole-server" && /^auth.require = \("" =>/ {
    sub(/\(""/, "(\"/cgi-bin/varpage\""); changed = 1
  }
  { print }
  END { exit !changed }' "$here/../../docs/servers.md" >"$guide" || {
  echo "FAILED: the guide has no stand-alone lighttpd password block to doctor"
  exit 1
}
output="$(bash "$here/debian_test.sh" lighttpd_password "$varpage" "$guide" 2>&1)"
status=$?
if [ "$status" = 77 ]; then
  grep '^SKIPPED' <<<"$output"
  exit 77
fi
grep -E '^FAILED' <<<"$output"
if [ "$status" = 0 ]; then
  echo "FAILED: the test passes a password that leaves / open"
  exit 1
fi
if grep -qE '^FAILED: 127\.0\.0\.1 got 200 at /, ' <<<"$output"; then
  echo "ok: the test fails at / with the old snippet"
else
  echo "FAILED: the test fails, but not at /"
  exit 1
fi
