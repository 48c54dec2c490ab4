#!/usr/bin/env bash
# The peer benchmark in one command: recbase's B-tree layer against SQLite,
# LMDB, Berkeley DB and Kyoto Cabinet. Installs what is missing, builds
# Release in build-peers/, runs build-peers/bench/peers and writes
#   bench/results/peers.md    medians, spreads, ratios, growth, shared table
#   bench/results/peers.csv   every sample, with date, machine and versions
#   docs/peers_ops.png, docs/peers_growth.png
# --records: the record benchmark instead, recbase's ISAM layer against an
# SQLite table (N = 200,000, three runs), writing
#   bench/results/records.md, bench/results/records.csv, docs/records_ops.png
# --journal: the engines with a journal instead (recbase-journal, flush
# points every 10,000 operations, against SQLite's journal_mode DELETE and
# WAL with synchronous NORMAL, with recbase and SQLite without for scale),
# writing bench/results/peers_journal.md and .csv (records_journal.* with
# --records) and no charts.
# --quick: a smoke run (N = 100,000, one run, no 10^7; with --records N =
# 20,000) whose files go to build-peers/quick/ instead. Other arguments go
# to the program (--help).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
ensure_packages cmake g++ make pkg-config libcli11-dev libsqlite3-dev \
  liblmdb-dev libdb-dev libkyotocabinet-dev gnuplot-nox

BUILD_DIR=${BUILD_DIR:-build-peers}
results=bench/results
charts=docs
name=peers
journal=0
args=()
for arg in "$@"; do
  if [ "$arg" = --quick ]; then
    results=$BUILD_DIR/quick
    charts=$BUILD_DIR/quick
  fi
  if [ "$arg" = --records ]; then
    name=records
  fi
  if [ "$arg" = --journal ]; then
    journal=1
  else
    args+=("$arg")
  fi
done
if [ "$journal" = 1 ]; then
  if [ "$name" = records ]; then
    args+=(--stores recbase-journal,sqlite-delete,sqlite-wal,recbase)
  else
    args+=(--engines recbase-journal,sqlite-delete,sqlite-wal,recbase,sqlite
      --growth-sizes 1000000 --no-shared)
  fi
  name=${name}_journal
fi

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DRECBASE_BENCH=ON -DRECBASE_TESTS=OFF
cmake --build "$BUILD_DIR" -j"$(nproc)" --target peers

mkdir -p "$results" "$charts" "$BUILD_DIR/peers-plot"
"$BUILD_DIR/bench/peers" \
  --work-dir "$BUILD_DIR/peers-work" \
  --markdown "$results/$name.md" --csv "$results/$name.csv" \
  --plot-dir "$BUILD_DIR/peers-plot" \
  --recbase-version "commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)" \
  "${args[@]}"
if [ "$journal" = 1 ]; then
  charts_made="none"
elif [ "$name" = records ]; then
  gnuplot -e "data='$BUILD_DIR/peers-plot'; out='$charts'" \
    bench/peers/records_plot.gp
  charts_made="$charts/records_ops.png"
else
  gnuplot -e "data='$BUILD_DIR/peers-plot'; out='$charts'" bench/peers/plot.gp
  charts_made="$charts/peers_ops.png, $charts/peers_growth.png"
fi

cat "$results/$name.md"
echo
echo "results: $results/$name.md, $results/$name.csv; charts: $charts_made"
echo "wall time: ${SECONDS} s"
