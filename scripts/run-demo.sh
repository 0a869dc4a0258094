#!/usr/bin/env bash
# Installs what the build needs, builds the app and runs the launcher with
# the demo app bundle. Usage: scripts/run-demo.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERROLUX_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target DemoGame

state="$PWD/$build/demo-state"
mkdir -p "$state"
FERROLUX_CONTAINER_DIR="$state/container" FERROLUX_KEYCHAIN_DIR="$state/keychain" \
  "$build/DemoGame.app/DemoGame"
