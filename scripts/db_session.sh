#!/usr/bin/env bash
# The README's session with the recbase tool on real data: the time zones of
# Debian's tzdata turned into CSV (scripts/zones_csv.sh), loaded into a
# database with three indexes, then info, show, check, copy and dump. Each
# command is printed after "$ " with its output, as in the README.
#
#   bash scripts/db_session.sh RECBASE_BINARY WORK_DIR
set -euo pipefail
recbase=$(realpath "$1")
scripts=$(realpath "$(dirname "$0")")
mkdir -p "$2"
cd "$2"
rm -f zones.db zones.idx compact.db compact.idx

# Prints the command line as written, then runs it.
run() {
  echo "\$ $1"
  eval "$1"
}
recbase() { "$recbase" "$@"; }

echo "\$ bash scripts/zones_csv.sh > zones.csv"
bash "$scripts/zones_csv.sh" > zones.csv
run "head -3 zones.csv"
run "recbase db load zones zones.csv --index 'by zone,U=zone' --index 'by country=countries;zone' --index 'by latitude=latitude'"
run "recbase db info zones"
run "recbase db show zones --index 'by latitude' --limit 4"
run "recbase db check zones"
run "recbase db copy zones compact --index 'by zone'"
run "recbase db dump compact --index 'by country' | sed -n '1p;/^Europe\/Paris/p'"
run "recbase db dump zones | cmp - zones.csv && echo 'the dump is the CSV, byte for byte'"
