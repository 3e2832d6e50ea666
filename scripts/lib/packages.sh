# Debian packages that scripts need, each named with a file that shows it is
# installed ("PACKAGE:FILE"; "PACKAGE:ARCH:FILE" for a foreign architecture).
# Source this file.

# missing_packages ENTRY...: prints the package of each entry whose file is
# absent.
missing_packages() {
  local entry
  for entry in "$@"; do
    [ -e "${entry##*:}" ] || echo "${entry%:*}"
  done
}

# install_packages PACKAGE...: installs them, as root. Installing a server
# package would start its service, listening on every address (Varnish's
# would even proxy to scripts/serve's port); the scripts start their own
# servers on loopback, so nothing is started at install time.
install_packages() {
  local policy=/usr/sbin/policy-rc.d placed=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# varpage scripts: no service starts while they install.\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    placed=1
    # Left behind, it would keep every later install on this machine from
    # starting its service: it goes whatever ends the install, Ctrl-C too.
    trap 'rm -f /usr/sbin/policy-rc.d; exit 130' INT
    trap 'rm -f /usr/sbin/policy-rc.d; exit 143' TERM
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
  local status=$?
  if [ -n "$placed" ]; then
    rm -f "$policy"
    trap - INT TERM
  fi
  return $status
}
