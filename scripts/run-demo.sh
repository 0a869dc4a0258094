#!/usr/bin/env bash
# The main job: installs what the build needs, builds the app and the local
# measurement service, starts the service on 127.0.0.1, runs the launcher
# with the demo app bundle against it, and prints what the service
# received with the address of its page.
# Usage: scripts/run-demo.sh [build-dir]
# From a terminal the service keeps serving its page until Enter is pressed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERROLUX_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target DemoGame ferrolux-service

state="$(realpath -m "$build")/demo-state"
mkdir -p "$state/service" "$state/service-config"
rm -f "$state/service.port"

"$build/tools/service/ferrolux-service" --port 0 --port-file "$state/service.port" \
  --data "$state/service" --config-dir "$state/service-config" >"$state/service.log" 2>&1 &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true' EXIT

for _ in $(seq 1 100); do
  [ -s "$state/service.port" ] && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$state/service.log"; exit 1; }
  sleep 0.1
done
[ -s "$state/service.port" ] || { echo "the measurement service did not start"; exit 1; }
address="http://127.0.0.1:$(head -n1 "$state/service.port")"
echo "[run-demo] local measurement service at $address"

FERROLUX_MEASUREMENT_SERVICE_URL="$address" \
  FERROLUX_CONTAINER_DIR="$state/container" FERROLUX_KEYCHAIN_DIR="$state/keychain" \
  "$build/DemoGame.app/DemoGame"

echo
echo "[run-demo] what the measurement service received (newest first):"
"$build/tools/service/ferrolux-service" --data "$state/service" --print --limit 5
echo
echo "[run-demo] service page: $address/  (JSON: $address/api/bundles)"
if [ -t 0 ] && [ -t 1 ]; then
  read -r -p "[run-demo] press Enter to stop the service " _ || true
fi
