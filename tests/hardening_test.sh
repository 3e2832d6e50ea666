#!/bin/bash
# The built program carries the hardening of cmake/hardening.cmake, as
# hardening-check (devscripts) and the disassembly show it.
#   hardening_test.sh PATH-TO-VARPAGE C++-COMPILER
set -uo pipefail

varpage="$1"
compiler="$2"
for tool in hardening-check:devscripts objdump:binutils readelf:binutils; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "SKIPPED: ${tool%%:*} is not installed (package ${tool#*:})"; exit 77; }
done

failed=0
expect() {  # expect DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failed=1; fi
}

# The CET marker (IBT, SHSTK) is kept by the linker only if every object
# linked in has it. Where the C library's start files lack it (Debian 12's
# do, and so does every program built there), no program can have it:
# hardening-check is told not to ask, and the compiler's part, an endbr64
# landing pad at each function's entry, is checked instead.
options=()
start_files="$("$compiler" -print-file-name=Scrt1.o)"
if ! readelf -n "$start_files" | grep -q 'x86 feature: IBT, SHSTK' && [ "$(uname -m)" = x86_64 ]; then
  echo "note: $start_files has no CET marker, so no program linked here has one"
  options+=(--nocfprotection)
  # main's first instruction.
  first="$(objdump -d --no-show-raw-insn "$varpage" | awk '/<main>:$/ { getline; print $2; exit }')"
  expect "-fcf-protection: main starts with endbr64" test "$first" = endbr64
fi

report="$(hardening-check "${options[@]}" "$varpage" 2>&1)"
status=$?
echo "$report"
expect "hardening-check passes" test $status = 0
for feature in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
  "Read-only relocations" "Immediate binding"; do
  expect "$feature: yes" grep -q "^ $feature: yes" <<<"$report"
done
# hardening-check recognises the probing loop of a frame of variable size
# only; the program's large fixed frames are probed by a loop it does not
# know ("unknown"). The loop: down a page, touch it, until the frame is done.
touches="$(objdump -d --no-show-raw-insn "$varpage" | grep -A1 'sub    \$0x1000,%rsp' |
  grep -c 'orq    \$0x0,(%rsp)')"
echo "page-by-page stack probes: $touches"
expect "-fstack-clash-protection: large frames are probed a page at a time" test "$touches" -gt 0
exit $failed
