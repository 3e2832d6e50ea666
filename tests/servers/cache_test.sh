#!/bin/bash
# A shared cache in front of lighttpd serving varpage: Alice asks with her
# session cookie, then Bob with his. Bob must get his own page, never
# Alice's. As a check that the cache in front really keeps pages, the same
# two requests go to a copy of the program whose Cache-Control line is cut
# out: there Bob must get Alice's page from the cache.
#   cache_test.sh nginx|varnish PATH-TO-VARPAGE
# Exits 77 (skipped) with the reason when the cache cannot run here.
set -euo pipefail

cache="$1"
varpage="$2"
source "$(dirname "$0")/../../scripts/lib/servers.sh"
case "$cache" in
  nginx) skip_unless_installed /usr/sbin/nginx ;;
  varnish) skip_unless_installed /usr/sbin/varnishd ;;
  *) echo "unknown cache $cache" >&2; exit 2 ;;
esac
skip_unless_installed /usr/sbin/lighttpd /usr/bin/curl /usr/bin/python3
offline_or_loopback_in_hosts "$0" "$@"

open_site "$varpage"
# The program without its Cache-Control line, as it was before it had one.
cat >"$site/htdocs/cgi-bin/uncontrolled" <<'SCRIPT'
#!/bin/sh
"$(dirname "$0")/varpage" | sed '/^Cache-Control:/d'
SCRIPT
chmod 755 "$site/htdocs/cgi-bin/uncontrolled"
start_lighttpd "$site" "$port"
backend="$port"
port="$(free_port)"

case "$cache" in
  nginx)
    sed -e "s|@SITE@|$site|g" -e "s|@PORT@|$port|g" -e "s|@BACKEND@|$backend|g" \
      "$VARPAGE_ROOT/config/cache/nginx.conf" >"$site/cache.conf"
    spawn /usr/sbin/nginx -e "$site/error.log" -p "$site" -c "$site/cache.conf"
    wait_for_port "$port"
    ;;
  varnish)
    sed -e "s|@BACKEND@|$backend|g" "$VARPAGE_ROOT/config/cache/varnish.vcl" >"$site/cache.vcl"
    chmod 755 "$site/tmp"
    if ! /usr/sbin/varnishd -C -n "$site/varnish" -f "$site/cache.vcl" >"$site/vcl.log" 2>&1; then
      echo "SKIPPED: varnishd cannot compile a VCL here: $(tail -n 3 "$site/vcl.log" | tr '\n' ' ')"
      exit 77
    fi
    spawn /usr/sbin/varnishd -F -j none -n "$site/varnish" -a "127.0.0.1:$port" \
      -f "$site/cache.vcl" -s malloc,16m >"$site/varnish.log" 2>&1
    if ! wait_for_port "$port"; then
      echo "SKIPPED: varnishd does not run here"
      exit 77
    fi
    ;;
esac

failed=0
# alice_then_bob PATH: prints what Bob gets after Alice asked for PATH.
alice_then_bob() {
  curl -s -o /dev/null -H 'Cookie: session=ALICE-SECRET' "http://127.0.0.1:$port$1"
  curl -s -H 'Cookie: session=bob' "http://127.0.0.1:$port$1"
}
cookie_row() { printf '<td>HTTP_COOKIE</td>\r\n\t\t<td>%s</td>' "$1"; }

page="$(alice_then_bob /cgi-bin/varpage)"
if [[ "$page" == *"$(cookie_row session=bob)"* ]] && [[ "$page" != *ALICE-SECRET* ]]; then
  echo "ok: Bob gets his own page through $cache"
else
  echo "FAILED: Bob's page through $cache: $(grep -a -o 'session=[A-Za-z-]*' <<<"$page" | sort -u | tr '\n' ' ')"
  failed=1
fi

page="$(alice_then_bob /cgi-bin/uncontrolled)"
if [[ "$page" == *"$(cookie_row session=ALICE-SECRET)"* ]]; then
  echo "ok: without Cache-Control, $cache does hand Bob Alice's page (the check can fail)"
else
  echo "FAILED: $cache kept nothing even without Cache-Control, so it shows nothing here"
  failed=1
fi
[ "$failed" = 0 ] || cat "$site/error.log" 2>/dev/null || true
exit $failed
