#!/usr/bin/env bash
# Installs what is missing, builds btree_bench (Release) in build-bench/ and
# runs it. Arguments are passed on to btree_bench (e.g. --keys 100000).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages cmake g++ make libcli11-dev

BUILD_DIR=${BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DRECBASE_BENCH=ON -DRECBASE_TESTS=OFF
cmake --build "$BUILD_DIR" -j"$(nproc)" --target btree_bench

echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
echo "cpus: $(nproc)"
echo "cpu:  $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo
"$BUILD_DIR/bench/btree_bench" "$@"
