#!/bin/bash
# Checks the manual page as the build configures it: it renders without a
# single warning, its footer names the project's version and that release's
# date, it fits a terminal of 80 columns, and its examples are the guides'
# tested ones.
#   manual_test.sh SOURCE-DIR BUILD-DIR
# Exits 77 (skipped) with the reason when groff or man is missing.
set -uo pipefail

source_dir="$1"
build_dir="$2"
page="$build_dir/docs/varpage.8"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

command -v groff >/dev/null || { echo "SKIPPED: no groff (package groff-base)"; exit 77; }
command -v man >/dev/null || { echo "SKIPPED: no man (package man-db)"; exit 77; }

failed=0
expect() {  # expect DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failed=1; fi
}
# silent FILE COMMAND...: runs the command, its standard error into FILE, and
# succeeds when it does and said nothing there.
silent() {
  local log="$1"
  shift
  "$@" >/dev/null 2>"$log" || echo "(exit status $?)" >>"$log"
  [ ! -s "$log" ] || { sed 's/^/  /' "$log"; return 1; }
}

version="$(sed -nE 's/^ *VERSION ([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)$/\1/p' "$source_dir/CMakeLists.txt")"
date="$(sed -nE "s/^## \[${version//./\\.}\] - ([0-9]{4}-[0-9]{2}-[0-9]{2})$/\1/p" "$source_dir/CHANGELOG.md")"
[ -n "$version" ] && [ -n "$date" ] || { echo "no version in CMakeLists.txt or no date for it in CHANGELOG.md" >&2; exit 2; }
[ -f "$page" ] || { echo "FAILED: the build has no $page"; exit 1; }

# Every warning groff knows of, for the terminal and with no output at all.
expect "groff -man -ww -z: no warning" silent "$work/groff-z.log" groff -man -ww -z "$page"
expect "groff -man -ww -Tutf8: no warning" silent "$work/groff-utf8.log" groff -man -ww -Tutf8 "$page"
# What lintian runs on a packaged page, and what a reader types.
expect "man --warnings -l: no warning" silent "$work/man.log" \
  env MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page"
if command -v mandoc >/dev/null; then
  expect "mandoc -Tlint: nothing to say" silent "$work/mandoc.log" mandoc -Tlint -W all "$page"
else
  echo "SKIPPED (this check only): no mandoc (package mandoc)"
fi
expect "every @VARIABLE@ filled in" bash -c "! grep -n '@[A-Z_]*@' '$page'"

MANWIDTH=80 LC_ALL=C.UTF-8 man -l -Tascii "$page" 2>/dev/null | col -bx >"$work/page.txt"
expect "man -l shows the page" grep -q '^NAME$' "$work/page.txt"
footer="$(grep -v '^ *$' "$work/page.txt" | tail -n 1)"
echo "  footer: $footer"
expect "footer: varpage $version, $date" \
  grep -qE "^varpage ${version//./\\.} +$date +VARPAGE\(8\)$" <<<"$footer"
expect "no line wider than 80 columns" test -z "$(awk 'length > 80' "$work/page.txt")"

# The examples. A block after a '.\" test: NAME' comment is the block the
# guides mark '<!-- test: NAME -->', whole; any other stands line for line
# in docs/servers.md or docs/troubleshooting.md. Lines the manual splits with
# a backslash count as one.
join_lines() { sed -e ':a' -e '/ \\$/{N;s/ \\\n */ /;ba' -e '}'; }
unescape() { sed -e 's/\\&//g' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' -e 's/\\e/\\/g'; }
awk -v dir="$work" '
  /^\.\\" test: / { name = $3; next }
  $0 == ".EX" { n++; file = dir "/example." n; printf "%s\n", (name == "" ? "-" : name) >(file ".name"); printf "" >file; inside = 1; next }
  $0 == ".EE" { inside = 0; name = ""; next }
  inside { print >file }
' "$source_dir/docs/varpage.8.in"
guides="$(cat "$source_dir/docs/servers.md" "$source_dir/docs/troubleshooting.md" | join_lines)"
examples=0
for name_file in "$work"/example.*.name; do
  [ -e "$name_file" ] || break
  examples=$((examples + 1))
  block="$(unescape <"${name_file%.name}" | join_lines)"
  name="$(cat "$name_file")"
  first="${block%%$'\n'*}"
  if [[ "$block" == *\\* ]]; then
    expect "example \"$first\": an escape this test does not know" false
  elif [ "$name" = - ]; then
    expect "example \"$first\" stands in the guides" test -n "$block" -a -z "${guides##*$'\n'"$block"$'\n'*}"
  else
    tested="$(awk -v marker="<!-- test: $name -->" '
      $0 == marker { found = 1; getline; next }
      found && /^```/ { exit }
      found { print }' "$source_dir"/docs/*.md | join_lines)"
    expect "example \"$first\" is the guides' tested block $name" test -n "$tested" -a "$block" = "$tested"
  fi
done
expect "the manual has examples" test "$examples" -gt 0

exit $failed
