#!/usr/bin/env bash
# Every test source belongs to a target: each .cc under tests/ must be
# compiled by the build (it appears in compile_commands.json).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
commands="$build/compile_commands.json"
[ -f "$commands" ] || { echo "missing $commands"; exit 1; }
status=0
while IFS= read -r source; do
  if ! grep -q "\"file\": \"$PWD/$source\"" "$commands"; then
    echo "test source not in any target: $source"
    status=1
  fi
done < <(git ls-files 'tests/*.cc' 'tests/**/*.cc')
[ $status -eq 0 ] && echo "test sources: every one belongs to a target"
exit $status
