# Headless Chromium, cut off from everything but the page it is sent to.
# Source this file; then: chromium_headless PROFILE-DIR [CHROMIUM-OPTIONS...] URL

chromium_headless() {
  local profile="$1"
  shift
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" "$@" 2>"$profile.log"
}
