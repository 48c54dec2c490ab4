#!/usr/bin/env bash
# Installs what is missing, builds the library and the C demo, and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages cmake g++ make

BUILD_DIR=${BUILD_DIR:-build-demo}
cmake -S . -B "$BUILD_DIR" -DRECBASE_TESTS=OFF
cmake --build "$BUILD_DIR" -j2 --target recbase_demo
"$BUILD_DIR/examples/recbase_demo"
