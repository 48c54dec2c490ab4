#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   BUILD_DIR    build directory (default: build)
#   CMAKE_FLAGS  extra configure flags, e.g. "-DRECBASE_SANITIZE=ON"
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages cmake g++ make pkg-config libgtest-dev googletest libcli11-dev

BUILD_DIR=${BUILD_DIR:-build}
read -r -a extra <<<"${CMAKE_FLAGS:-}"
cmake -S . -B "$BUILD_DIR" "${extra[@]}"
cmake --build "$BUILD_DIR" -j2
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2
