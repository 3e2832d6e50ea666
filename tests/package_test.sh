#!/bin/bash
# Checks what `cmake --install` and CPack make of a build.
#   package_test.sh install|deb|zip SOURCE-DIR BUILD-DIR
# Exits 77 (skipped) with the reason when a tool it needs is missing.
set -euo pipefail

what="$1"
source_dir="$2"
build_dir="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
expect() {  # expect DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failed=1; fi
}

case "$what" in
  install)
    DESTDIR="$work/stage" cmake --install "$build_dir" --prefix /usr >/dev/null
    expect "installed to <prefix>/lib/cgi-bin" test -x "$work/stage/usr/lib/cgi-bin/varpage"
    expect "installed program answers" \
      bash -c "env -i A=1 '$work/stage/usr/lib/cgi-bin/varpage' | head -n1 | grep -q '^Content-type: text/html'"
    units="$work/stage/usr/lib/systemd/system"
    expect "systemd units in <prefix>/lib/systemd/system" \
      test -f "$units/varpage.socket" -a -f "$units/varpage.service"
    expect "the service runs the installed program" \
      grep -qx 'ExecStart=/usr/lib/cgi-bin/varpage' "$units/varpage.service"
    expect "the socket is the documented one" \
      grep -qx 'ListenStream=/run/varpage/fcgi.sock' "$units/varpage.socket"
    expect "nothing enabled" test ! -e "$work/stage/etc"
    cmake --install "$build_dir" --prefix "$work/opt" >/dev/null
    expect "another prefix" test -x "$work/opt/lib/cgi-bin/varpage"
    expect "the service follows the prefix" \
      grep -qx "ExecStart=$work/opt/lib/cgi-bin/varpage" "$work/opt/lib/systemd/system/varpage.service"
    # Here the program the service names exists, so systemd can check the
    # pair whole. Any message it prints (an unknown key, say) is a failure.
    if command -v systemd-analyze >/dev/null; then
      (cd "$work/opt/lib/systemd/system" &&
        systemd-analyze verify ./varpage.socket ./varpage.service >"$work/verify.log" 2>&1) ||
        echo "systemd-analyze verify failed" >>"$work/verify.log"
      expect "systemd-analyze verify finds nothing" test ! -s "$work/verify.log"
      cat "$work/verify.log"
    else
      echo "SKIPPED (this check only): systemd-analyze is not installed (package systemd)"
    fi
    # A directory of the user's choosing, in a build of its own.
    cmake -S "$source_dir" -B "$work/build" -G Ninja -DBUILD_TESTING=OFF \
      -DVARPAGE_CGI_BIN_DIR=www/cgi >/dev/null
    cmake --build "$work/build" --target varpage >/dev/null
    DESTDIR="$work/chosen" cmake --install "$work/build" --prefix /srv >/dev/null
    expect "VARPAGE_CGI_BIN_DIR chooses the directory" test -x "$work/chosen/srv/www/cgi/varpage"
    ;;
  deb)
    for tool in dpkg-deb dpkg-shlibdeps; do
      command -v "$tool" >/dev/null || { echo "SKIPPED: no $tool (package dpkg-dev)"; exit 77; }
    done
    (cd "$work" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >/dev/null)
    deb="$(ls "$work"/out/*.deb)"
    field() { dpkg-deb -f "$deb" "$1"; }
    expect "package name" test "$(field Package)" = varpage
    expect "version" test "$(field Version)" = 1.0.0.1
    expect "architecture" test "$(field Architecture)" = "$(dpkg --print-architecture)"
    expect "maintainer" grep -q '<.*@.*>' <<<"$(field Maintainer)"
    expect "description" grep -q 'environment' <<<"$(field Description)"
    expect "shared-library dependencies" grep -q 'libc6' <<<"$(field Depends)"
    expect "program in /usr/lib/cgi-bin" \
      grep -qE '^-rwxr-xr-x .* \./usr/lib/cgi-bin/varpage$' <<<"$(dpkg-deb -c "$deb")"
    for unit in varpage.socket varpage.service; do
      expect "$unit in /usr/lib/systemd/system" \
        grep -qE "^-rw-r--r-- .* \./usr/lib/systemd/system/$unit\$" <<<"$(dpkg-deb -c "$deb")"
    done
    # Disabled: no links under /etc and no maintainer script to make them.
    expect "nothing under /etc" bash -c "! dpkg-deb -c '$deb' | grep -q ' \./etc/'"
    dpkg-deb -e "$deb" "$work/control"
    expect "no postinst" test ! -e "$work/control/postinst"
    dpkg-deb -x "$deb" "$work/root"
    expect "packaged program answers" \
      bash -c "env -i A=1 '$work/root/usr/lib/cgi-bin/varpage' | head -n1 | grep -q '^Content-type: text/html'"
    ;;
  zip)
    command -v unzip >/dev/null || { echo "SKIPPED: no unzip"; exit 77; }
    (cd "$work" && cpack -G ZIP --config "$build_dir/CPackConfig.cmake" -B "$work/out" >/dev/null)
    listing="$(unzip -l "$work"/out/*.zip)"
    expect "archive holds varpage.exe" grep -q '/varpage.exe$' <<<"$listing"
    expect "archive holds README.txt" grep -q '/README.txt$' <<<"$listing"
    ;;
  *)
    echo "unknown check $what" >&2
    exit 2
    ;;
esac
exit $failed
