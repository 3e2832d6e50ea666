#!/bin/bash
# The stand-alone configurations are complete files, and docs/servers.md
# tells users to start them as the tests do: each file of config/ and
# config/fastcgi/ has no placeholder left and a header with the commands that
# start it (the tests run those), each of which the guide gives word for
# word; the files the guide shows whole stand there line for line (comments
# aside).
#   docs_standalone_test.sh SOURCE-DIR
set -uo pipefail

source_dir="$1"
guide_file="$source_dir/docs/servers.md"
guide="$(cat "$guide_file")"
# Without comment lines and indentation, so the guide may explain in between.
code_lines() { sed -E -e 's/^[[:space:]]+//' -e '/^(#|$)/d' "$@"; }
guide_code="$(code_lines "$guide_file")"
shown_whole=(config/lighttpd.conf config/apache.conf)

failed=0
for config in "$source_dir"/config/*.conf "$source_dir"/config/fastcgi/*.conf; do
  name="${config#"$source_dir"/}"
  placeholders="$(grep -o '@[A-Z_]*@' "$config" | sort -u | tr '\n' ' ')"
  if [ -z "$placeholders" ]; then echo "ok: $name has no placeholders"; else
    echo "FAILED: $name still has placeholders: $placeholders"; failed=1; fi
  commands="$(sed -n 's/^#   \$ //p' "$config")"
  if [ -z "$commands" ]; then
    echo "FAILED: $name gives no command that starts it"
    failed=1
  fi
  while IFS= read -r command; do
    [ -n "$command" ] || continue
    if [[ "$guide" == *"$command"* ]]; then echo "ok: the guide starts $name with: $command"; else
      echo "FAILED: the guide does not give $name's command: $command"; failed=1; fi
  done <<<"$commands"
done
for name in "${shown_whole[@]}"; do
  if [[ "$guide_code" == *"$(code_lines "$source_dir/$name")"* ]]; then
    echo "ok: the guide shows $name whole"
  else
    echo "FAILED: the guide does not show $name as it stands:"
    code_lines "$source_dir/$name" | sed 's/^/  /'
    failed=1
  fi
done
exit $failed
