#!/bin/bash
# Puts lighttpd with varpage under load from wrk (16 connections, 5 s, on
# 127.0.0.1) and checks that every response came back whole. No timing is
# judged here; bench/run measures.
#   load_test.sh PATH-TO-VARPAGE
set -euo pipefail

varpage="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
skip_unless_installed /usr/bin/wrk /usr/sbin/lighttpd /usr/bin/curl /usr/bin/python3
offline_or_loopback_in_hosts "$0" "$@"
open_site "$varpage"
start_lighttpd "$site" "$port"

line="$(wrk -t2 -c16 -d5s -s "$here/../../bench/check.lua" \
  "http://127.0.0.1:$port/cgi-bin/varpage?q=%3Cx%3E" | grep '^checked')"
echo "$line"
read -r _ checked _ bad _ errors _ <<<"$line"
if [ "$checked" -gt 0 ] && [ "$bad" = 0 ] && [ "$errors" = 0 ]; then
  echo "ok: $checked responses, every one whole"
else
  echo "FAILED: $checked responses checked, $bad not whole, $errors errors"
  exit 1
fi
