#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   BUILD_DIR    build directory (default: build)
#   CMAKE_FLAGS  extra configure flags, e.g. "-DRECBASE_SANITIZE=ON"
# Without a DISPLAY the tests run under xvfb-run, a virtual X server, so
# that the output window's tests draw a real window.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages cmake g++ make pkg-config libgtest-dev googletest libcli11-dev \
  libx11-dev xvfb xauth

BUILD_DIR=${BUILD_DIR:-build}
read -r -a extra <<<"${CMAKE_FLAGS:-}"
cmake -S . -B "$BUILD_DIR" "${extra[@]}"
cmake --build "$BUILD_DIR" -j2
x_server=()
# -noreset: the server stays up between the tests' connections.
[ -z "${DISPLAY:-}" ] &&
  x_server=(xvfb-run -a -s "-screen 0 1280x1024x24 -noreset")
"${x_server[@]}" ctest --test-dir "$BUILD_DIR" --output-on-failure -j2
