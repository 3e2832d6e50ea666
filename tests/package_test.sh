#!/bin/bash
# Checks what `cmake --install` and CPack make of a build.
#   package_test.sh install|deb|rpm|source SOURCE-DIR BUILD-DIR
#   package_test.sh zip SOURCE-DIR BUILD-DIR win32|win64
# Exits 77 (skipped) with the reason when a tool it needs is missing.
set -euo pipefail

what="$1"
source_dir="$2"
build_dir="$3"
work="$(mktemp -d)"
cleanup() {
  # The gpg-agent that signing starts, stopped through its own socket.
  if [ -d "$work/home/gnupg" ]; then GNUPGHOME="$work/home/gnupg" gpgconf --kill all || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The version, as the project declares it; every package must carry it.
version="$(sed -nE 's/^ *VERSION ([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)$/\1/p' "$source_dir/CMakeLists.txt")"
[ -n "$version" ] || { echo "no four-part VERSION in $source_dir/CMakeLists.txt" >&2; exit 2; }
# The packager the tests make packages as.
maintainer="Varpage Test Packager <packager@varpage.example.org>"

failed=0
expect() {  # expect DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failed=1; fi
}
require() {  # require TOOL PACKAGE
  command -v "$1" >/dev/null || { echo "SKIPPED: no $1 (package $2)"; exit 77; }
}
answers() {  # answers PROGRAM: it writes a CGI header for a request
  env -i A=1 "$1" | head -n1 | grep -q '^Content-type: text/html'
}
# manual_reads PAGE: man opens the page (gzipped or not) without a word on
# standard error, and its footer names this version.
manual_reads() {
  local text
  text="$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l -Tascii "$1" 2>"$work/man.log" | col -bx)" || return 1
  [ ! -s "$work/man.log" ] || { sed 's/^/  /' "$work/man.log"; return 1; }
  grep -qE "^varpage ${version//./\\.} .* VARPAGE\(8\)$" <<<"$text"
}
# gzip_n FILE: gzipped with no name and no time stamp, at maximum
# compression, so the same sources make the same package.
gzip_n() {
  test "$(od -A n -t x1 -N 10 "$1" | tr -d ' \n')" = 1f8b0800000000000203
}

# A build of its own with a maintainer, as a packager configures one. Later
# arguments go to the configure step.
packager_build() {
  cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    "-DVARPAGE_MAINTAINER=$maintainer" "$@" >/dev/null
  cmake --build "$work/build" --target varpage >/dev/null
}

# LICENSE's terms, without its title and copyright line: what the Debian
# copyright file must hold.
license_terms() {
  sed '1,/^Copyright /d' "$source_dir/LICENSE" | sed '/./,$!d'
}

# The list items of the newest release in CHANGELOG.md.
newest_release_items() {
  awk '/^## \[[0-9]/ { n++ } n == 1 && /^- / { c++ } END { print c + 0 }' "$source_dir/CHANGELOG.md"
}

case "$what" in
  install)
    DESTDIR="$work/stage" cmake --install "$build_dir" --prefix /usr >/dev/null
    expect "installed to <prefix>/lib/cgi-bin" test -x "$work/stage/usr/lib/cgi-bin/varpage"
    expect "installed program answers" answers "$work/stage/usr/lib/cgi-bin/varpage"
    expect "licence installed as documentation" cmp -s "$source_dir/LICENSE" "$work/stage/usr/share/doc/varpage/LICENSE"
    expect "changelog installed as documentation" \
      cmp -s "$source_dir/CHANGELOG.md" "$work/stage/usr/share/doc/varpage/CHANGELOG.md"
    manual="$work/stage/usr/share/man/man8/varpage.8"
    expect "manual installed at <prefix>/share/man/man8, as the build made it" \
      cmp -s "$build_dir/docs/varpage.8" "$manual"
    if command -v man >/dev/null; then
      expect "man -l reads the installed manual, version $version" manual_reads "$manual"
    else
      echo "SKIPPED (this check only): no man (package man-db)"
    fi
    units="$work/stage/usr/lib/systemd/system"
    expect "the service runs the installed program" \
      grep -qx 'ExecStart=/usr/lib/cgi-bin/varpage' "$units/varpage.service"
    expect "the socket is the documented one" \
      grep -qx 'ListenStream=/run/varpage/fcgi.sock' "$units/varpage.socket"
    # Nothing enabled: no links under /etc.
    expect "nothing else installed" test "$(cd "$work/stage" && find . -type f | sort)" = "$(printf '%s\n' \
      ./usr/lib/cgi-bin/varpage ./usr/lib/systemd/system/varpage.service \
      ./usr/lib/systemd/system/varpage.socket ./usr/share/doc/varpage/CHANGELOG.md \
      ./usr/share/doc/varpage/LICENSE ./usr/share/man/man8/varpage.8 \
      ./usr/share/varpage/systemd/varpage.service.d/tcp.conf \
      ./usr/share/varpage/systemd/varpage.socket.d/tcp.conf)"
    expect "the TCP drop-ins installed as shipped" \
      cmp -s "$source_dir/packaging/systemd/varpage.socket.d/tcp.conf" \
      "$work/stage/usr/share/varpage/systemd/varpage.socket.d/tcp.conf"
    cmake --install "$build_dir" --prefix "$work/opt" >/dev/null
    expect "another prefix" test -x "$work/opt/lib/cgi-bin/varpage"
    expect "the service follows the prefix" \
      grep -qx "ExecStart=$work/opt/lib/cgi-bin/varpage" "$work/opt/lib/systemd/system/varpage.service"
    # Here the program the service names exists, and so does the manual its
    # Documentation= names, so systemd can check the pair whole. Any message
    # it prints (an unknown key, say) is a failure.
    if command -v systemd-analyze >/dev/null; then
      (cd "$work/opt/lib/systemd/system" && MANPATH="$work/opt/share/man" \
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
    require dpkg-deb dpkg-dev
    require dpkg-shlibdeps dpkg-dev
    require dpkg-parsechangelog dpkg-dev
    require lintian lintian
    require man man-db

    # Without a maintainer there is no package, and cpack says what to set.
    env -u DEBFULLNAME -u DEBEMAIL cmake -S "$source_dir" -B "$work/nameless" -G Ninja \
      -DBUILD_TESTING=OFF >/dev/null
    if (cd "$work" && cpack -G DEB --config "$work/nameless/CPackConfig.cmake" -B "$work/nameless-out" \
      >"$work/nameless.log" 2>&1); then nameless=made; else nameless=refused; fi
    expect "no package without a maintainer" test "$nameless" = refused
    expect "the refusal names VARPAGE_MAINTAINER" grep -q 'VARPAGE_MAINTAINER' "$work/nameless.log"
    if cmake -S "$source_dir" -B "$work/bad" -G Ninja -DBUILD_TESTING=OFF \
      -DVARPAGE_MAINTAINER=varpage@localhost >"$work/bad.log" 2>&1; then bad=accepted; else bad=refused; fi
    expect "a maintainer without a name is refused at configure time" \
      bash -c "[ $bad = refused ] && grep -q 'VARPAGE_MAINTAINER reads' '$work/bad.log'"

    packager_build
    (cd "$work" && cpack -G DEB --config "$work/build/CPackConfig.cmake" -B "$work/out" >/dev/null)
    deb="$work/out/varpage_${version}_$(dpkg --print-architecture).deb"
    expect "package file name" test -f "$deb"
    field() { dpkg-deb -f "$deb" "$1"; }
    expect "package name" test "$(field Package)" = varpage
    expect "version" test "$(field Version)" = "$version"
    expect "architecture" test "$(field Architecture)" = "$(dpkg --print-architecture)"
    expect "maintainer from VARPAGE_MAINTAINER" test "$(field Maintainer)" = "$maintainer"
    expect "section" test "$(field Section)" = web
    expect "description" grep -q 'environment' <<<"$(field Description)"
    expect "shared-library dependencies" grep -qE '^libc6 \(>= [0-9.]+\)$' <<<"$(field Depends)"
    expect "files: the program, the systemd units and drop-ins, copyright, changelog.gz, the manual, lintian's overrides" \
      test "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2)" = "$(printf '%s\n' \
        '-rwxr-xr-x ./usr/lib/cgi-bin/varpage' \
        '-rw-r--r-- ./usr/lib/systemd/system/varpage.service' \
        '-rw-r--r-- ./usr/lib/systemd/system/varpage.socket' \
        '-rw-r--r-- ./usr/share/doc/varpage/changelog.gz' \
        '-rw-r--r-- ./usr/share/doc/varpage/copyright' \
        '-rw-r--r-- ./usr/share/lintian/overrides/varpage' \
        '-rw-r--r-- ./usr/share/man/man8/varpage.8.gz' \
        '-rw-r--r-- ./usr/share/varpage/systemd/varpage.service.d/tcp.conf' \
        '-rw-r--r-- ./usr/share/varpage/systemd/varpage.socket.d/tcp.conf')"
    # Disabled: no links under /etc and no maintainer script to make them.
    dpkg-deb -e "$deb" "$work/control"
    expect "no postinst" test ! -e "$work/control/postinst"

    dpkg-deb -x "$deb" "$work/root"
    doc="$work/root/usr/share/doc/varpage"
    expect "packaged program answers" answers "$work/root/usr/lib/cgi-bin/varpage"

    # copyright: machine-readable, every file under the licence of LICENSE,
    # whose text it carries word for word.
    expect "copyright: machine-readable format" \
      test "$(head -n1 "$doc/copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    expect "copyright: all files, Expat (MIT) licence" \
      bash -c "grep -qx 'Files: \*' '$doc/copyright' && grep -qx 'License: Expat' '$doc/copyright'"
    expect "copyright: holders as in LICENSE" grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' \
      "$source_dir/LICENSE")" "$doc/copyright"
    expect "copyright: the licence text of LICENSE" test "$(sed -n '/^License: Expat$/,$p' "$doc/copyright" |
      sed '1d; s/^ //; s/^\.$//')" = "$(license_terms)"

    # changelog.gz: gzip -9n (no name, no time stamp, best compression), a
    # native package's changelog that dpkg reads, one entry per item.
    expect "changelog.gz: no name, no time stamp, maximum compression" gzip_n "$doc/changelog.gz"
    gzip -dc "$doc/changelog.gz" >"$work/changelog"
    parsed() { dpkg-parsechangelog -l "$work/changelog" -S "$1"; }
    expect "changelog: version" test "$(parsed Version)" = "$version"
    expect "changelog: signed by the maintainer" test "$(parsed Maintainer)" = "$maintainer"
    expect "changelog: release date of CHANGELOG.md" test "$(date -u -d "$(parsed Date)" +%F)" = \
      "$(sed -nE '0,/^## \[[0-9]/s/^## \[[0-9.]+\] - ([0-9-]+)$/\1/p' "$source_dir/CHANGELOG.md")"
    expect "changelog: every item of the release" \
      test "$(grep -c '^  \* ' "$work/changelog")" = "$(newest_release_items)"
    expect "changelog: entries within 80 columns" test "$(awk '!/^ -- / && length > 80' "$work/changelog")" = ""

    # The manual, gzipped as changelog.gz is; lintian below reads it too.
    manual="$work/root/usr/share/man/man8/varpage.8.gz"
    expect "manual: no name, no time stamp, maximum compression" gzip_n "$manual"
    expect "manual: the page the build made" cmp -s <(gzip -dc "$manual") "$work/build/docs/varpage.8"
    expect "manual: man -l reads it, version $version" manual_reads "$manual"

    # lintian, run as root, says so on standard error; its findings are on
    # standard output. Information and pedantic tags too: the hardening tags
    # (no bind-now, no fortified calls, ...) are information.
    lintian --pedantic --display-info --fail-on error,warning "$deb" >"$work/lintian.log" 2>/dev/null && lintian_status=0 || lintian_status=$?
    cat "$work/lintian.log"
    expect "lintian: no error, no warning" \
      bash -c "[ $lintian_status = 0 ] && ! grep -qE '^[EW]: ' '$work/lintian.log'"
    expect "lintian: no hardening tag" bash -c "! grep -q 'hardening' '$work/lintian.log'"
    # Not even information or a pedantic tag: lintian reads the page with
    # man --warnings and checks its compression and its reason to be there.
    expect "lintian: no tag on the manual" bash -c "! grep -q 'man8/varpage' '$work/lintian.log'"
    expect "lintian: no unused or mismatched override" bash -c "! grep -qE 'unused-override|mismatched-override' '$work/lintian.log'"
    ;;

  rpm)
    require rpmbuild rpm
    require rpm2cpio rpm2cpio
    require cpio cpio
    require rpmlint rpmlint
    require gpg gpg
    require rpmsign rpm
    require man man-db

    packager_build
    (cd "$work" && cpack -G RPM --config "$work/build/CPackConfig.cmake" -B "$work/out" >/dev/null 2>&1)
    rpm_file="$work/out/varpage-${version}-1.x86_64.rpm"
    [ "$(uname -m)" = x86_64 ] || rpm_file="$(ls "$work"/out/varpage-"${version}"-1.*.rpm)"
    expect "package file name" test -f "$rpm_file"
    query() { rpm -qp --queryformat "$1" "$rpm_file"; }
    info="$(rpm -qip "$rpm_file")"
    echo "$info" | sed 's/^/  /' | head -n 16
    expect "rpm -qip: name, version, release" test "$(query '%{NAME} %{VERSION} %{RELEASE}')" = "varpage $version 1"
    expect "rpm -qip: licence MIT" test "$(query '%{LICENSE}')" = MIT
    expect "rpm -qip: packager from VARPAGE_MAINTAINER" test "$(query '%{PACKAGER}')" = "$maintainer"
    expect "not relocatable: its files lie outside any one prefix" test "$(query '%{PREFIXES}')" = "(none)"
    expect "rpm -qip: description" grep -q 'environment' <<<"$(query '%{DESCRIPTION}')"
    # The build-id links rpmbuild adds belong to every RPM; the rest is ours.
    expect "rpm -qlp: the program in /var/www/cgi-bin, licence, changelog and manual" \
      test "$(rpm -qlp "$rpm_file" | grep -v '^/usr/lib/\.build-id')" = "$(printf '%s\n' \
        /usr/share/doc/varpage /usr/share/doc/varpage/CHANGELOG.md \
        /usr/share/licenses/varpage /usr/share/licenses/varpage/LICENSE \
        /usr/share/man/man8/varpage.8.gz /var/www/cgi-bin/varpage)"
    expect "licence marked as licence" test "$(rpm -qLp "$rpm_file")" = /usr/share/licenses/varpage/LICENSE
    expect "changelog and manual marked as documentation" test "$(rpm -qdp "$rpm_file")" = "$(printf '%s\n' \
      /usr/share/doc/varpage/CHANGELOG.md /usr/share/man/man8/varpage.8.gz)"
    expect "no configuration files" test -z "$(rpm -qcp "$rpm_file")"
    expect "program mode 0755" test "$(rpm -qp --queryformat '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm_file" |
      grep ' /var/www/cgi-bin/varpage$')" = "-rwxr-xr-x /var/www/cgi-bin/varpage"
    expect "shared-library dependencies computed" grep -q '^libc\.so\.6' <<<"$(rpm -qRp "$rpm_file")"
    expect "%changelog: newest entry by the maintainer" \
      grep -qE "^\* [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4} $maintainer - $version-1$" \
      <<<"$(rpm -qp --changelog "$rpm_file" | head -n1)"
    expect "%changelog: every item of the release" \
      test "$(rpm -qp --changelog "$rpm_file" | grep -c '^- ')" = "$(newest_release_items)"

    mkdir "$work/root"
    (cd "$work/root" && rpm2cpio "$rpm_file" | cpio -idm --quiet)
    expect "packaged program answers" answers "$work/root/var/www/cgi-bin/varpage"
    expect "packaged licence is LICENSE" cmp -s "$source_dir/LICENSE" "$work/root/usr/share/licenses/varpage/LICENSE"
    manual="$work/root/usr/share/man/man8/varpage.8.gz"
    expect "manual: gzipped with no name and no time stamp" gzip_n "$manual"
    expect "manual: the page the build made" cmp -s <(gzip -dc "$manual") "$work/build/docs/varpage.8"
    expect "manual: man -l reads it, version $version" manual_reads "$manual"

    # rpmlint wants a signature by a key the RPM database knows, as a
    # distribution signs what it publishes. Sign a copy with a throwaway key,
    # in a database of the test's own.
    export HOME="$work/home" GNUPGHOME="$work/home/gnupg"
    mkdir -p "$GNUPGHOME" "$HOME/rpmdb" "$work/signed"
    chmod 700 "$GNUPGHOME"
    gpg --batch --quiet --passphrase '' --quick-gen-key 'varpage test signer <signer@varpage.example.org>' \
      ed25519 sign never 2>/dev/null
    printf '%s\n' "%_dbpath $HOME/rpmdb" '%_gpg_name signer@varpage.example.org' \
      "%__gpg $(command -v gpg)" >"$HOME/.rpmmacros"
    cp "$rpm_file" "$work/signed/"
    signed="$work/signed/$(basename "$rpm_file")"
    rpmsign --addsign "$signed" >/dev/null 2>&1
    gpg --export --armor signer@varpage.example.org >"$work/signer.asc" 2>/dev/null
    gpgconf --kill all
    rpm --import "$work/signer.asc"
    # Man pages gzipped, as Fedora's brp-compress leaves them and its rpmlint
    # configuration expects (rpmlint's own default is bzip2).
    printf '%s\n' 'CompressExtension = "gz"' >"$work/fedora-compression.toml"
    rpmlint -c "$work/fedora-compression.toml" "$signed" >"$work/rpmlint.log" 2>&1 || true
    grep -E '^varpage' "$work/rpmlint.log" || true
    expect "rpmlint: no error" grep -qE '^ *1 packages and 0 specfiles checked; 0 errors' "$work/rpmlint.log"
    expect "rpmlint: nothing about the manual" bash -c "! grep -q 'man8/varpage' '$work/rpmlint.log'"
    ;;

  source)
    require tar tar
    require ninja ninja-build
    # A copy of the sources in a folder of its own, under a path with a
    # "build" in it, beside what must stay out of the tarball: a build, a
    # repository and the files editors leave.
    checkout="$work/build/checkout/varpage"
    mkdir -p "$checkout"
    tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$checkout" -xf -
    (cd "$checkout" && find . ! -type d | grep -vE '~$|/\.#|/#[^/]*#$|\.sw[a-p]$|\.orig$|\.rej$|^\./\.(vscode|idea|cache)/|/(crash|leak|timeout)-[^/]*$' |
      sed 's|^\./|varpage-'"$version"'/|' | sort) >"$work/expected"
    mkdir -p "$checkout/build/old" "$checkout/.git" "$checkout/.vscode"
    for stray in build/old/main.o build/CMakeCache.txt .git/HEAD .vscode/settings.json README.md~ \
      varpage/.#main.cc "varpage/#main.cc#" varpage/.main.cc.swp; do
      echo stray >"$checkout/$stray"
    done
    cmake -S "$checkout" -B "$checkout/build/tarball" -G Ninja -DBUILD_TESTING=OFF >/dev/null
    (cd "$work" && cpack --config "$checkout/build/tarball/CPackSourceConfig.cmake" -B "$work/out" >/dev/null)
    tarball="$work/out/varpage-$version.tar.gz"
    expect "tarball varpage-$version.tar.gz" test -f "$tarball"
    tar -tzf "$tarball" | grep -v '/$' | sort >"$work/listing"
    expect "tarball holds the sources and nothing else" diff "$work/expected" "$work/listing"
    expect "tarball holds LICENSE and CHANGELOG.md" \
      bash -c "grep -qx 'varpage-$version/LICENSE' '$work/listing' && grep -qx 'varpage-$version/CHANGELOG.md' '$work/listing'"

    # The tarball made from this checkout itself, whose build and .git it
    # leaves out, the same way.
    (cd "$work" && cpack --config "$build_dir/CPackSourceConfig.cmake" -B "$work/own" >/dev/null)
    tar -tzf "$work/own/varpage-$version.tar.gz" >"$work/own.listing"
    expect "this checkout's tarball: the sources" grep -qx "varpage-$version/CMakeLists.txt" "$work/own.listing"
    expect "this checkout's tarball: no build, no .git" \
      bash -c "! grep -qE '^varpage-$version/(build|\.git)(/|$)' '$work/own.listing'"

    # The tarball builds on its own with the linux preset.
    mkdir "$work/unpacked"
    tar -C "$work/unpacked" -xzf "$tarball"
    built="$work/unpacked/varpage-$version"
    if (cd "$built" && cmake --preset linux >"$work/preset.log" 2>&1 &&
      cmake --build --preset linux >>"$work/preset.log" 2>&1); then preset=built; else
      preset=failed
      tail -n 30 "$work/preset.log"
    fi
    expect "unpacked tarball configures and builds with the linux preset" test "$preset" = built
    expect "the program it builds answers" answers "$built/build/linux/varpage/varpage"
    ;;

  zip)
    require unzip unzip
    [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import pefile' 2>/dev/null ||
      { echo "SKIPPED: no pefile for /usr/bin/python3 (package python3-pefile)"; exit 77; }
    exe="$build_dir/varpage/varpage.exe"

    # Reads the version resource out of a Windows program and prints, one a
    # line: machine, fixed file and product versions, then NAME=VALUE strings.
    version_resource() {
      /usr/bin/python3 - "$1" <<'EOF'
import sys
import pefile

pe = pefile.PE(sys.argv[1])
print(pefile.MACHINE_TYPE[pe.FILE_HEADER.Machine])
if not hasattr(pe, "VS_FIXEDFILEINFO"):
    sys.exit(0)
fixed = pe.VS_FIXEDFILEINFO[0]
def four(ms, ls):
    return "%d,%d,%d,%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
print("fixed FileVersion", four(fixed.FileVersionMS, fixed.FileVersionLS))
print("fixed ProductVersion", four(fixed.ProductVersionMS, fixed.ProductVersionLS))
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            for name, value in table.entries.items():
                print("%s %s=%s" % (table.LangID.decode(), name.decode(), value.decode()))
EOF
    }

    # The zip's name says which Windows it is for (the build's word): what the
    # program is built for.
    system="${4:-}"
    resource="$(version_resource "$exe")"
    case "${resource%%$'\n'*}" in
      IMAGE_FILE_MACHINE_I386) machine=win32 ;;
      IMAGE_FILE_MACHINE_AMD64) machine=win64 ;;
      *) machine="${resource%%$'\n'*}" ;;
    esac
    expect "zip named $system, program built for $machine" test "$system" = "$machine"
    (cd "$work" && cpack -G ZIP --config "$build_dir/CPackConfig.cmake" -B "$work/out" >/dev/null)
    zip="$work/out/varpage-$version-$system.zip"
    expect "archive varpage-$version-$system.zip" test -f "$zip"
    top="varpage-$version-$system"
    expect "archive holds varpage.exe, README.txt and LICENSE.txt" \
      test "$(unzip -Z1 "$zip" | grep -v '/$' | sort)" = "$(printf '%s\n' "$top/LICENSE.txt" "$top/README.txt" "$top/varpage.exe")"
    unzip -q "$zip" -d "$work/unzipped"
    expect "LICENSE.txt is LICENSE, with CR LF line ends" \
      cmp -s <(sed 's/$/\r/' "$source_dir/LICENSE") "$work/unzipped/$top/LICENSE.txt"
    expect "README.txt has CR LF line ends" \
      cmp -s <(sed 's/$/\r/' "$source_dir/packaging/README-windows.txt") "$work/unzipped/$top/README.txt"

    # The version resource, in the program as built and as shipped.
    four="${version//./,}"
    for program in "$exe" "$work/unzipped/$top/varpage.exe"; do
      where="${program#"$work/unzipped/"}"
      version_resource "$program" >"$work/resource"
      sed 's/^/  /' "$work/resource"
      expect "$where: fixed FileVersion $four" grep -qx "fixed FileVersion $four" "$work/resource"
      expect "$where: fixed ProductVersion $four" grep -qx "fixed ProductVersion $four" "$work/resource"
      expect "$where: strings, US English and Unicode, exactly these" \
        test "$(grep -v '^fixed\|^IMAGE_FILE' "$work/resource" | sort)" = "$(printf '%s\n' \
          "040904B0 CompanyName=The varpage developers" \
          "040904B0 FileDescription=CGI program that shows the environment a web server hands its programs" \
          "040904B0 FileVersion=$version" \
          "040904B0 InternalName=varpage" \
          "040904B0 LegalCopyright=$(grep '^Copyright (c) ' "$source_dir/LICENSE"). MIT License." \
          "040904B0 OriginalFilename=varpage.exe" \
          "040904B0 ProductName=varpage" \
          "040904B0 ProductVersion=$version")"
    done
    ;;

  *)
    echo "unknown check $what" >&2
    exit 2
    ;;
esac
exit $failed
