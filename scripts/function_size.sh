#!/usr/bin/env bash
# Lists the longest functions of the given folders (default: isam class
# display tools), longest first, as "LINES FILE:LINE NAME": a function's
# lines run from the line of its name to the line of its closing brace,
# blank and comment lines included, as universal-ctags finds them.
#   LIMIT  fail (exit 1) when any function is longer (default 80)
#   TOP    how many to list (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages universal-ctags

limit=${LIMIT:-80}
top=${TOP:-10}
dirs=("$@")
[ ${#dirs[@]} -eq 0 ] && dirs=(isam class display tools)

sizes=$(git ls-files -- "${dirs[@]}" | grep -E '\.(c|cpp|h|hpp)$' |
  xargs ctags-universal --languages=C++ --map-C++=+.h --map-C++=+.c \
    --kinds-C++=f --fields=+ne -o - |
  awk -F'\t' '{
    line = ""; end = ""
    for (i = 4; i <= NF; ++i) {
      if ($i ~ /^line:/) line = substr($i, 6)
      if ($i ~ /^end:/) end = substr($i, 5)
    }
    if (line != "" && end != "") printf "%d %s:%s %s\n", end - line + 1, $2, line, $1
  }' | sort -k1,1nr -k2,2)
echo "$sizes" | head -n "$top"
over=$(echo "$sizes" | awk -v limit="$limit" '$1 > limit' | wc -l)
if [ "$over" -gt 0 ]; then
  echo "function_size: $over function(s) over $limit lines" >&2
  exit 1
fi
