#!/bin/bash
# Checks a Windows build's program without running it: the image is of the
# right kind for its architecture, a console program, and it needs no DLL
# beyond those every Windows has.
#   pe_check.sh OBJDUMP PROGRAM.exe x86|x64
set -euo pipefail

objdump="$1"
program="$2"
architecture="$3"
case "$architecture" in
  x86) format=pei-i386 magic=PE32 ;;
  x64) format=pei-x86-64 magic=PE32+ ;;
  *) echo "unknown architecture $architecture" >&2; exit 2 ;;
esac

headers="$("$objdump" -p "$program")"
failed=0
expect() {  # expect DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failed=1; fi
}

expect "$format image" grep -q "file format $format\$" <<<"$headers"
expect "$magic optional header" test "$(awk '$1 == "Magic" { print $3 }' <<<"$headers")" = "($magic)"
expect "console subsystem" grep -qE '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)$' <<<"$headers"

# The C runtime and the socket library are the system's own; everything else
# is linked in.
imports="$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort)"
echo "imports: $(echo $imports)"
expect "imports KERNEL32" grep -qx 'KERNEL32.DLL' <<<"$imports"
expect "imports msvcrt" grep -qx 'MSVCRT.DLL' <<<"$imports"
expect "imports one socket library" test "$(grep -cxE 'WSOCK32.DLL|WS2_32.DLL' <<<"$imports")" = 1
expect "imports nothing else" test -z "$(grep -vxE 'KERNEL32.DLL|MSVCRT.DLL|WSOCK32.DLL|WS2_32.DLL' <<<"$imports")"
exit $failed
