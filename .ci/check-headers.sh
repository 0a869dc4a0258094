#!/usr/bin/env bash
# Every public header compiles on its own with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for header in include/ferrolux/*.h; do
  if ! echo "#include \"${header#include/}\"" |
      g++ -std=c++20 -Wall -Wextra -Werror -Iinclude -fsyntax-only -x c++ -; then
    echo "public header does not compile on its own: $header"
    status=1
  fi
done
[ $status -eq 0 ] && echo "public headers: each compiles on its own"
exit $status
