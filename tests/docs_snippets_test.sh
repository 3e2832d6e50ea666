#!/bin/bash
# The restrictions docs/servers.md publishes are the ones the server tests
# prove: each file of config/restrict stands in the guide line for line
# (comments aside).
#   docs_snippets_test.sh SOURCE-DIR
set -uo pipefail

source_dir="$1"
# Without comment lines and indentation, so the guide may explain in between.
code_lines() { sed -E -e 's/^[[:space:]]+//' -e '/^(#|$)/d' "$@"; }

guide="$(code_lines "$source_dir/docs/servers.md")"
failed=0
for config in "$source_dir"/config/restrict/*.conf; do
  snippet="$(code_lines "$config")"
  if [[ "$guide" == *"$snippet"* ]]; then
    echo "ok: docs/servers.md publishes ${config#"$source_dir"/}"
  else
    echo "FAILED: docs/servers.md does not publish ${config#"$source_dir"/} as tested:"
    sed 's/^/  /' <<<"$snippet"
    failed=1
  fi
done
exit $failed
