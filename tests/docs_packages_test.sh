#!/bin/bash
# README.md's one apt-get install line names every package the scripts need:
# those scripts/test installs, those scripts/serve installs and those
# bench/run asks for. A package added to a script and not to the README
# fails here.
#   docs_packages_test.sh SOURCE-DIR
set -uo pipefail

source_dir="$1"
# The README's command, its continued lines joined, one word a line.
readme_packages="$(sed -n '/apt-get install \\$/,/[^\\]$/p' "$source_dir/README.md" |
  sed -e 's/\\$//' -e 's/.*apt-get install//' | tr -s ' ' '\n' | sed '/^$/d')"
# "PACKAGE:FILE" (or "PACKAGE:ARCH:FILE") entries of a script's lists.
listed() { grep -oE '"[a-z0-9.+-]+(:i386)?:/(usr|bin|sbin|lib)/[^"]*"' "$1" | sed -E 's/^"([^:]*(:i386)?):.*/\1/'; }
# bench/run's hint: "apt-get install PACKAGE... )", over two lines.
bench_packages="$(sed -n '/apt-get install/,/)/p' "$source_dir/bench/run" | tr -d '"\\' |
  sed -e 's/.*apt-get install//' -e 's/).*//')"

failed=0
check() {  # check WHERE PACKAGE...
  local where="$1" package missing=()
  shift
  for package in "$@"; do
    grep -qxF "$package" <<<"$readme_packages" || missing+=("$package")
  done
  if [ $# -eq 0 ]; then
    echo "FAILED: no packages found in $where"
    failed=1
  elif [ ${#missing[@]} -eq 0 ]; then
    echo "ok: README.md's apt-get line has all $# packages of $where"
  else
    echo "FAILED: README.md's apt-get line lacks ${missing[*]} ($where)"
    failed=1
  fi
}
[ -n "$readme_packages" ] || { echo "FAILED: no apt-get install line in README.md"; exit 1; }
check scripts/test $(listed "$source_dir/scripts/test")
check scripts/serve $(listed "$source_dir/scripts/serve")
check bench/run $bench_packages
exit $failed
