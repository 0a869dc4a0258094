#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them all, printing one
# report. Usage: scripts/bench.sh [build-dir] [-- pipeline options]
#   e.g. scripts/bench.sh build-bench -- --events 100000 --rate 1000
# The machine should be otherwise idle: the figures are wall-clock rates
# and fsync latencies.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
if [[ $# -gt 0 && $1 != "--" ]]; then
  build=$1
  shift
fi
[[ $# -gt 0 && $1 == "--" ]] && shift

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERROLUX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target ferrolux-bench-database ferrolux-bench-pipeline

echo "== database layer: raw-event inserts against a bare SQLite loop"
"$build/bench/ferrolux-bench-database"
echo
echo "== event pipeline, end to end through the public interface"
"$build/bench/ferrolux-bench-pipeline" "$@"
