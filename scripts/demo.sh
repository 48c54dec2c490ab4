#!/usr/bin/env bash
# Installs what is missing, builds the library, the C demo and the recbase
# tool, runs the demo (which writes a small tree file into the build
# directory) and has the tool check the tree and describe it; then builds
# and runs the ISAM class's example (examples/people.cpp, a database of
# people in the build directory); last, the tool's session over a database
# of the time zones of tzdata (scripts/db_session.sh, in the build
# directory's session/).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages cmake g++ make libcli11-dev tzdata

BUILD_DIR=${BUILD_DIR:-build-demo}
cmake -S . -B "$BUILD_DIR" -DRECBASE_TESTS=OFF
cmake --build "$BUILD_DIR" -j2 --target recbase_demo recbase_tool recbase_people
"$BUILD_DIR/examples/recbase_demo" "$BUILD_DIR/demo.cbt"
"$BUILD_DIR/tools/recbase" tree check "$BUILD_DIR/demo.cbt"
"$BUILD_DIR/tools/recbase" tree stat "$BUILD_DIR/demo.cbt"

"$BUILD_DIR/examples/recbase_people" "$BUILD_DIR/people"

bash scripts/db_session.sh "$BUILD_DIR/tools/recbase" "$BUILD_DIR/session"
