#!/usr/bin/env bash
# Builds every C and C++ code block of README.md (a block fenced with ```c or
# ```cpp) as a program of its own against the library, with warnings as
# errors, runs it in an empty directory, and fails when a block does not
# build, a program exits non-zero, or its standard output differs from the
# ```text block that follows the code block (before the next code block),
# when there is one. So the examples stay programs that run as written.
#   readme_blocks.sh LIBRARY [FLAG...]
# LIBRARY is the built librecbase (.so or .a); the FLAGs go to every compile
# and link (sanitizer flags; -lstdc++ and -lX11 for the static library).
# CC and CXX name the compilers (default cc and c++). EMULATOR, when set,
# runs the programs (wine for the Windows builds, which find the DLL through
# WINEPATH, by default LIBRARY's directory); their carriage returns are
# dropped.
set -euo pipefail
cd "$(dirname "$0")/.."
lib=$(realpath "${1:?usage: readme_blocks.sh LIBRARY [FLAG...]}")
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v dir="$work" '
  /^```/ && in_block { in_block = 0; out = ""; next }
  /^```(c|cpp)[[:space:]]*$/ {
    n++; lang = $0 ~ /cpp/ ? "cpp" : "c"
    out = dir "/" n "." lang; in_block = 1; expect = n; next
  }
  /^```text[[:space:]]*$/ && expect {
    out = dir "/" expect ".out"; in_block = 1; expect = 0; next
  }
  /^```/ { in_block = 1; next }
  out != "" { print > out }
' README.md

blocks=0
exe=${EMULATOR:+.exe}  # Windows runs programs by that name only
exe=${exe:-.bin}
for src in "$work"/*.c "$work"/*.cpp; do
  [ -f "$src" ] || continue
  blocks=$((blocks + 1))
  n=$(basename "${src%.*}")
  if [[ $src == *.cpp ]]; then
    compile=("${CXX:-c++}" -std=c++17)
  else
    compile=("${CC:-cc}" -std=c99)
  fi
  if ! "${compile[@]}" -Wall -Wextra -Werror -Iinclude "$src" "$lib" \
    -Wl,-rpath,"$(dirname "$lib")" "$@" -o "$work/$n$exe"; then
    echo "README block $n ($(basename "$src")) does not build"
    exit 1
  fi
  mkdir "$work/run$n"
  if ! (cd "$work/run$n" && WINEPATH="${WINEPATH:-$(dirname "$lib")}" \
          timeout 120 ${EMULATOR:-} "$work/$n$exe" | tr -d '\r' >"$work/$n.got"
        exit "${PIPESTATUS[0]}"); then
    echo "README block $n failed:"
    cat "$work/$n.got"
    exit 1
  fi
  if [ -f "$work/$n.out" ] && ! diff -u "$work/$n.out" "$work/$n.got"; then
    echo "README block $n: the output above differs from the README's"
    exit 1
  fi
done
[ "$blocks" -gt 0 ] || { echo "README.md has no C or C++ block"; exit 1; }
echo "README: $blocks code blocks built and run as written"
