#!/bin/bash
# Follows one recipe of docs/servers.md on this machine's Debian packages,
# from their stock configuration (tests/servers/debian_lib.sh keeps the host
# untouched), and asks the server at every path that serves the page or
# anything else, from 127.0.0.1, ::1 and 127.0.0.2: the page only where the
# recipe serves it, to whom it lets in; 403 to an address it refuses; 401
# without and the page with a password; Debian's own pages served to every
# client as before.
#   debian_test.sh RECIPE PATH-TO-VARPAGE [GUIDE]
# GUIDE is docs/servers.md unless given, so that a doctored copy can be
# shown to fail.
set -uo pipefail

recipe="$1"
varpage="$(realpath "$2")"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/servers.sh"
source "$here/debian_lib.sh"
guide="$(realpath "${3:-$VARPAGE_ROOT/docs/servers.md}")"
skip_unless_installed /usr/bin/curl /usr/sbin/service
# The clients 127.0.0.2 and ::1 are not in /etc/hosts: their lookups find no
# network to go to in the namespace.
debian_enter "$varpage" "$0" "$@"

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}
user=alice
password=secret
# What htpasswd asks for: the password, twice.
RECIPE_INPUT="$password"$'\n'"$password"

# What the server serves. page_paths: where it serves the page; other_paths:
# where it must not; site_pages: Debian's own pages, for everyone.
page_paths=(/cgi-bin/varpage /cgi-bin/varpage/more '/cgi-bin/varpage?q=1' /cgi-bin//varpage
  /%63gi-bin/varpage /cgi-bin/varpag%65)
other_paths=(/ /cgi-bin/)
site_pages=()
# Who may have it: everyone, local (127.0.0.1 and ::1, 127.0.0.2 gets 403)
# or password (401 without, the page with it).
access=everyone
# ::1 gets nothing at all from a server that listens on 127.0.0.1 only.
ipv6=yes
# Debian's pages each server shows at /, where they exist.
debian_pages() {
  local page
  for page in "$@"; do [ -f "/var/www/html/$page" ] && site_pages+=("/$page"); done
}

# The recipes: what each needs, and the guide's blocks it follows, in order.
# A restriction or a password is the server's own, added to the CGI or
# FastCGI recipe as the guide says.
server="${recipe%%_*}"
case "$server" in
  lighttpd)
    skip_unless_installed /usr/sbin/lighttpd
    debian_pages index.lighttpd.html index.html
    ;;
  apache)
    skip_unless_installed /usr/sbin/apache2
    debian_pages index.html
    ;;
  nginx)
    skip_unless_installed /usr/sbin/nginx
    debian_pages index.nginx-debian.html index.html
    ;;
  caddy)
    skip_unless_installed /usr/bin/caddy /usr/bin/setpriv
    ;;
  busybox)
    skip_unless_installed /bin/busybox
    DEBIAN_PORT=8080
    ipv6=no
    other_paths=(/ /cgi-bin/ /cgi-bin/missing)
    ;;
esac
case "$recipe" in
  lighttpd | lighttpd_restricted | lighttpd_password) steps=(lighttpd) ;;
  lighttpd_fastcgi*) steps=(lighttpd-fastcgi lighttpd-fastcgi-enable lighttpd-fastcgi-log) ;;
  apache | apache_restricted | apache_password) steps=(apache) ;;
  apache_fastcgi*)
    skip_unless_installed /usr/bin/spawn-fcgi /usr/lib/apache2/modules/mod_proxy_fcgi.so
    steps=(fastcgi-spawn apache-fastcgi apache-fastcgi-enable)
    ;;
  nginx | nginx_restricted | nginx_password)
    skip_unless_installed /usr/sbin/fcgiwrap
    steps=(nginx nginx-location)
    ;;
  nginx_fastcgi*)
    skip_unless_installed /usr/bin/spawn-fcgi
    steps=(fastcgi-spawn nginx-fastcgi)
    ;;
  nginx_upstream*)
    skip_unless_installed /usr/bin/spawn-fcgi /usr/bin/nsenter /usr/bin/python3
    steps=(upstream-site)
    ;;
  nginx_kept)
    skip_unless_installed /usr/bin/spawn-fcgi
    steps=(fastcgi-spawn nginx-kept-upstream nginx-kept)
    ;;
  apache_reuse)
    skip_unless_installed /usr/bin/spawn-fcgi /usr/lib/apache2/modules/mod_proxy_fcgi.so
    steps=(fastcgi-spawn apache-fastcgi-reuse apache-fastcgi-enable)
    ;;
  apache_fcgid | apache_fcgid_restricted)
    skip_unless_installed /usr/lib/apache2/modules/mod_fcgid.so
    steps=(apache-fcgid apache-fcgid-enable)
    ;;
  caddy | caddy_restricted)
    skip_unless_installed /usr/bin/spawn-fcgi
    steps=(fastcgi-spawn caddy caddy-site)
    ;;
  busybox | busybox_restricted | busybox_password) steps=(busybox-folder) ;;
  *)
    echo "unknown recipe $recipe" >&2
    exit 2
    ;;
esac
case "$recipe" in
  *_restricted)
    access=local
    case "$server" in
      lighttpd | apache) steps+=("$server-restrict" "$server-restrict-enable") ;;
      nginx) steps+=(nginx-restrict) ;;
      busybox) steps+=(busybox-restrict busybox-with-config) ;;
      caddy) steps+=(caddy-restrict) ;;
    esac
    ;;
  # The site for several machines is never without one or the other; the
  # backends of the restricted one are behind the guide's firewall rule too.
  nginx_upstream)
    skip_unless_installed /usr/sbin/nft
    access=local
    steps+=(upstream-restrict)
    ;;
  nginx_upstream_password)
    access=password
    steps+=(upstream-password nginx-password-file)
    ;;
  *_password)
    access=password
    case "$server" in
      lighttpd | apache) steps+=("$server-password" "$server-password-enable") ;;
      nginx) steps+=(nginx-password nginx-password-file) ;;
      busybox) steps+=(busybox-password busybox-with-config) ;;
    esac
    ;;
  busybox) steps+=(busybox) ;;
esac
case "$recipe" in
  nginx | nginx_restricted | nginx_password) steps+=(nginx-restart) ;;
  nginx_fastcgi* | nginx_kept) steps+=(nginx-fastcgi-restart) ;;
  caddy*) steps+=(caddy-start) ;;
  nginx_upstream*) steps+=(upstream-enable) ;;
esac

# Who asks: the machine itself (127.0.0.1, ::1) and 127.0.0.2; for the site
# of several machines, a client on a machine of its own too, over IPv4 and
# IPv6.
clients=(127.0.0.1 ::1 127.0.0.2)
if [[ "$recipe" == nginx_upstream* ]]; then
  # The two backends of the guide, each a machine of its own, started as
  # the guide says (the second with its own address in place of the
  # first's); the web server is this namespace, 192.0.2.10.
  for backend in 192.0.2.21 192.0.2.22; do
    machine "backend-${backend##*.}" "$backend"
    RECIPE_MACHINE="backend-${backend##*.}" apply upstream-backend "s|192\.0\.2\.21|$backend|g"
    [ "$recipe" = nginx_upstream ] && RECIPE_MACHINE="backend-${backend##*.}" apply upstream-firewall
  done
  machine client 192.0.2.50 2001:db8::50
  client_machine=([192.0.2.50]=client [2001:db8::50]=client)
  clients+=(192.0.2.50 2001:db8::50)
  host_header=(-H "Host: varpage.example.org")
fi

for step in "${steps[@]}"; do apply "$step"; done

wait_for_http "$DEBIAN_PORT" || exit 1

# check ADDRESS PATH: what ADDRESS gets at PATH is what the recipe says.
check_page_path() {
  local address="$1" path="$2"
  if [ "$ipv6" = no ] && [ "$address" = ::1 ]; then
    ask "$address" "$path"
    if [ "$code" = 000 ]; then echo "ok: $address: nothing listens for it ($path)"; else
      fail "$address got $code at $path from a server meant for 127.0.0.1 only"; fi
    return
  fi
  ask "$address" "$path"
  case "$access" in
    everyone) want=page ;;
    local) case "$address" in 127.0.0.1 | ::1) want=page ;; *) want=403 ;; esac ;;
    password) want=401 ;;
  esac
  if [ "$want" = page ]; then
    if [ "$code" = 200 ] && is_page_for "$address"; then echo "ok: $address gets the page at $path"; else
      fail "$address does not get the page at $path ($code): $(tail -c 300 <<<"$body")"; fi
  elif [ "$code" = "$want" ] && ! is_page; then
    echo "ok: $address gets $code at $path"
  else
    fail "$address got $code at $path, not $want$(is_page && echo ', with the page')"
  fi
  if [ "$access" = password ]; then
    ask "$address" "$path" "$user:$password"
    if [ "$code" = 200 ] && is_page_for "$address"; then
      echo "ok: $address gets the page at $path with the password"
    else
      fail "$address does not get the page at $path with the password ($code)"
    fi
    # (once: servers take their time to answer a wrong password)
    [ "$path" = "${page_paths[0]}" ] || return 0
    ask "$address" "$path" "$user:wrong"
    if [ "$code" = 401 ] && ! is_page; then echo "ok: $address gets 401 at $path with a wrong password"; else
      fail "$address got $code at $path with a wrong password$(is_page && echo ', with the page')"; fi
  fi
}

for address in "${clients[@]}"; do
  for path in "${page_paths[@]}"; do check_page_path "$address" "$path"; done
  [ "$ipv6" = no ] && [ "$address" = ::1 ] && continue
  for path in "${other_paths[@]}"; do
    ask "$address" "$path"
    if ! is_page && [ "$code" != 000 ]; then echo "ok: $address gets no page at $path ($code)"; else
      fail "$address got the page (or nothing) at $path ($code)"; fi
  done
  # Debian's default site, as before: its pages, and no varpage where the
  # recipe made a site of its own.
  site_header=("${host_header[@]}")
  host_header=()
  for path in "${site_pages[@]}"; do
    ask "$address" "$path"
    if [ "$code" = 200 ] && [ "$(printf '%s' "$body")" = "$(cat "/var/www/html$path")" ]; then
      echo "ok: $address gets Debian's $path"
    else
      fail "$address does not get Debian's $path ($code)"
    fi
  done
  if [ "${#site_header[@]}" != 0 ]; then
    ask "$address" /cgi-bin/varpage
    if ! is_page; then echo "ok: $address gets no page from the default site ($code)"; else
      fail "$address gets the page from the default site"; fi
  fi
  host_header=("${site_header[@]}")
done

# Nothing that runs varpage, or is varpage, runs as root: lighttpd and
# BusyBox drop to www-data, and so does fcgiwrap; varpage started by
# spawn-fcgi runs as a user of its own, sharing nothing with the web server.
# (Apache's and nginx's masters stay root by design; their workers are
# www-data in Debian's configuration.)
varpage_user=www-data
[[ " ${steps[*]} " == *" fastcgi-spawn "* || "$recipe" == nginx_upstream* ]] && varpage_user=varpage
for pid in $(sandbox_pids); do
  exe="$(readlink "/proc/$pid/exe" 2>/dev/null)" || continue
  want=www-data
  case "${exe##*/}" in
    varpage) want="$varpage_user" ;&
    lighttpd | busybox | fcgiwrap)
      owner="$(stat -c %U "/proc/$pid")"
      if [ "$owner" = "$want" ]; then echo "ok: ${exe##*/} ($pid) runs as $want"; else
        fail "${exe##*/} ($pid) runs as $owner, not $want"; fi
      ;;
  esac
done
# A FastCGI process stays to be checked; a CGI run has ended by now
# (user_test.sh catches one in mid-request).
case "$recipe" in
  lighttpd | lighttpd_restricted | lighttpd_password | apache | apache_restricted | apache_password | \
    nginx | nginx_restricted | nginx_password | busybox*) ;;
  *)
    varpages="$(for pid in $(sandbox_pids); do readlink "/proc/$pid/exe"; done | grep -c '/varpage$')"
    [ "$varpages" != 0 ] || fail "no varpage process found to check its user"
    ;;
esac
# One socket owner and mode that every server's workers (www-data) can use.
if [ -S /run/varpage/fcgi.sock ]; then
  mode="$(stat -c '%U:%G %a' /run/varpage/fcgi.sock)"
  if [ "$mode" = "www-data:www-data 660" ]; then echo "ok: the socket is www-data's, mode 0660"; else
    fail "the socket is $mode"; fi
fi

# The stand-alone lighttpd serves the page at / and /cgi-bin/ too: the
# guide's password for it must hold there as well.
if [ "$recipe" = lighttpd_password ]; then
  echo "-- the stand-alone lighttpd (config/lighttpd.conf) with lighttpd-password-whole-server"
  site="$(mktemp -d)"
  make_site "$site" "$varpage"
  DEBIAN_PORT="$(free_port)"
  guide_block "$guide" lighttpd-password-whole-server | sed "s|/srv/varpage|$site|g" >"$site/extra-password.conf"
  htpasswd -cb "$site/varpage.htpasswd" "$user" "$password" 2>/dev/null
  spawn /usr/sbin/lighttpd -D -f "$(render_config lighttpd "$site" "$DEBIAN_PORT")"
  wait_for_http "$DEBIAN_PORT" || exit 1
  for path in "${page_paths[@]}" / '/?q=1' /cgi-bin/; do check_page_path 127.0.0.1 "$path"; done
  stop_servers
fi

# Where servers.md says varpage's lines go when the web server starts it:
# lighttpd's breakage log (without one, its children's standard error is
# /dev/null), Apache's error log (its standard error).
case "$recipe" in
  lighttpd_fastcgi) server_log=/var/log/lighttpd/breakage.log ;;
  apache_fcgid) server_log=/var/log/apache2/error.log ;;
  *) server_log="" ;;
esac
if [ -n "$server_log" ]; then
  start_line="$(grep -E 'varpage\[[0-9]+\]: info: varpage [0-9.]+ serving FastCGI on unix:' "$server_log")"
  if [ -n "$start_line" ]; then echo "ok: the start line in $server_log: $start_line"; else
    fail "no start line in $server_log: $(tail -n 5 "$server_log")"; fi
fi

# What some recipes do beyond the page: connections kept or closed, bodies
# mod_fcgid refuses, Caddy's own page and user.
source "$here/debian_checks.sh"
case "$recipe" in
  nginx_kept | apache_reuse) check_kept_connections ;;
  nginx_fastcgi | apache_fastcgi) check_closed_connections ;;
  apache_fcgid) check_fcgid_bodies ;;
  caddy*) check_caddy ;;
  nginx_upstream) check_backends_refuse firewall ;;
  nginx_upstream_password) check_backends_refuse ;;
esac

if [ "$failed" != 0 ]; then
  for log in /var/log/lighttpd/error.log /var/log/apache2/error.log /var/log/nginx/error.log; do
    [ -s "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
  done
fi
exit $failed
