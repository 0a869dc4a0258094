#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and runs with.
# Run as root. Skips apt entirely when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3 gzip
  nanopb libnanopb-dev protobuf-compiler
  libsqlite3-dev sqlite3 zlib1g-dev libcurl4-openssl-dev libssl-dev libicu-dev
  libplist-dev nlohmann-json3-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # The local measurement service's page test renders it headless.
  chromium
  # The fuzz build: clang, its libFuzzer and sanitizer runtimes, llvm-symbolizer.
  clang libclang-rt-14-dev llvm
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
