#!/bin/bash
# A stand-alone configuration exactly as it stands, nothing changed: the file
# in /srv/varpage, the program where its header says, its header's commands
# run, the page asked for at 127.0.0.1:8080. In a network namespace of its
# own, where port 8080 is free, and a mount namespace with a /srv of its own,
# so that nothing of the machine's is touched. The upstream's backends run at
# the addresses the file names, 192.0.2.21 and 192.0.2.22, port 9000, on this
# namespace's loopback interface.
#   as_given_test.sh lighttpd|apache|nginx PATH-TO-VARPAGE
#   as_given_test.sh fastcgi/lighttpd|fastcgi/apache|fastcgi/nginx|fastcgi/nginx-upstream PATH-TO-VARPAGE
set -euo pipefail

name="$1"
varpage="$(realpath "$2")"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
case "$name" in
  lighttpd | apache | nginx) skip_unless_server_installed "$name" ;;
  fastcgi/nginx-upstream) skip_unless_server_installed nginx_fastcgi ;;
  fastcgi/*) skip_unless_server_installed "${name#fastcgi/}_fastcgi" ;;
  *) echo "unknown configuration $name" >&2; exit 2 ;;
esac
skip_unless_installed /usr/bin/curl /usr/bin/python3
if [ -z "${VARPAGE_OWN_SRV:-}" ]; then
  if ! unshare -n -m true 2>/dev/null; then
    echo "SKIPPED: no network and mount namespace can be made here"
    exit 77
  fi
  VARPAGE_OWN_SRV=1 VARPAGE_OFFLINE=1 VARPAGE_OWN_MOUNTS=1 exec unshare -n -m -- \
    bash -c 'ip link set lo up && mount -t tmpfs -o mode=755 varpage-srv /srv && exec bash "$@"' \
    bash "$0" "$@"
fi

site=/srv/varpage
trap stop_servers EXIT
# Nothing but what the header says: the program where it puts it, and the
# file. Whatever else the server needs, the header's commands must make.
# (The upstream's backends run the program from the usual place.)
program_path="$(awk '/^#/ { printf "%s ", substr($0, 2) } !/^#/ { exit }' "$VARPAGE_ROOT/config/$name.conf" |
  grep -oE '[Pp]ut the program at +[^ ]+' | awk '{ print $NF }' || true)"
[ "$name" = fastcgi/nginx-upstream ] && program_path="$site/cgi-bin/varpage"
if [ -z "$program_path" ]; then
  echo "FAILED: the header of config/$name.conf does not say where the program goes"
  exit 1
fi
install -D -m 755 "$varpage" "$program_path"
chmod 755 "$site"
config="$site/${name##*/}.conf"
cp "$VARPAGE_ROOT/config/$name.conf" "$config"

if [ "$name" = fastcgi/nginx-upstream ]; then
  # As the guide starts them, as the user of their own it adds.
  add_user "$site" adduser --system --group --no-create-home varpage
  for backend in 192.0.2.21 192.0.2.22; do
    ip addr add "$backend/32" dev lo
    spawn /usr/bin/spawn-fcgi -n -a "$backend" -p 9000 -u varpage -g varpage -- "$site/cgi-bin/varpage"
  done
fi

failed=0
if ! run_config "$config" 8080; then
  echo "FAILED: $name does not start as it stands"
  cat "$site/error.log" 2>/dev/null || true
  exit 1
fi
for i in 1 2; do
  page="$(curl -s "http://127.0.0.1:8080/cgi-bin/varpage?as=given$i" || true)"
  if [[ "$page" == *$'<td>QUERY_STRING</td>\r\n\t\t<td>as=given'"$i</td>"* ]] &&
     [[ "$page" == *$'<td>REMOTE_ADDR</td>\r\n\t\t<td>127.0.0.1</td>'* ]] && [[ "$page" == *"</html>" ]]; then
    echo "ok: $name as it stands serves the page at http://127.0.0.1:8080/cgi-bin/varpage ($i)"
  else
    echo "FAILED: $name as it stands: $(tail -c 300 <<<"$page")"
    failed=1
  fi
done
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
