#!/usr/bin/env bash
# The peer benchmark in one command: recbase's B-tree layer against SQLite,
# LMDB, Berkeley DB and Kyoto Cabinet. Installs what is missing, builds
# Release in build-peers/, runs build-peers/bench/peers and writes
#   bench/results/peers.md    medians, spreads, ratios, growth, shared table
#   bench/results/peers.csv   every sample, with date, machine and versions
#   docs/peers_ops.png, docs/peers_growth.png
# --quick: a smoke run (N = 100,000, one run, no 10^7) whose files go to
# build-peers/quick/ instead. Other arguments go to the program (--help).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
ensure_packages cmake g++ make pkg-config libcli11-dev libsqlite3-dev \
  liblmdb-dev libdb-dev libkyotocabinet-dev gnuplot-nox

BUILD_DIR=${BUILD_DIR:-build-peers}
results=bench/results
charts=docs
for arg in "$@"; do
  if [ "$arg" = --quick ]; then
    results=$BUILD_DIR/quick
    charts=$BUILD_DIR/quick
  fi
done

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DRECBASE_BENCH=ON -DRECBASE_TESTS=OFF
cmake --build "$BUILD_DIR" -j"$(nproc)" --target peers

mkdir -p "$results" "$charts" "$BUILD_DIR/peers-plot"
"$BUILD_DIR/bench/peers" \
  --work-dir "$BUILD_DIR/peers-work" \
  --markdown "$results/peers.md" --csv "$results/peers.csv" \
  --plot-dir "$BUILD_DIR/peers-plot" \
  --recbase-version "commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)" \
  "$@"
gnuplot -e "data='$BUILD_DIR/peers-plot'; out='$charts'" bench/peers/plot.gp

cat "$results/peers.md"
echo
echo "results: $results/peers.md, $results/peers.csv;" \
  "charts: $charts/peers_ops.png, $charts/peers_growth.png"
echo "wall time: ${SECONDS} s"
