#!/usr/bin/env bash
# The Windows output window and the Windows tool, under 64-bit Wine:
#  1. the window's test program on a virtual X server (Wine draws its
#     windows through X): its size, its painted cells read back as pixels,
#     scrolling, closing, the end-session query and the message box;
#  2. recbase.exe over a database written by the Linux tool: `db info`,
#     `db check` and `db dump` print what the Linux tool prints, line
#     endings aside (and the file names in `db info`, which Wine spells
#     Z:\dir\name).
# scripts/test-windows.sh calls it after its builds; it builds what is
# missing itself.
#   BUILD_PREFIX     the Windows build is BUILD_PREFIX-x86_64 (default: build-win)
#   LINUX_BUILD_DIR  the Linux build whose tool is compared (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_windows_tools
ensure_packages xvfb xauth

dir=${BUILD_PREFIX:-build-win}-x86_64
linux=${LINUX_BUILD_DIR:-build}
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINELOADER=$wine

if [ ! -x "$dir/bin/display_window_win32_test.exe" ] || [ ! -x "$dir/bin/recbase.exe" ]; then
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake \
    -DRECBASE_WERROR=ON >/dev/null
  cmake --build "$dir" -j2 --target display_window_win32_test recbase_tool
fi
[ -x "$linux/tools/recbase" ] ||
  { cmake -S . -B "$linux" >/dev/null && cmake --build "$linux" -j2 --target recbase_tool; }

linux_tool=$(cd "$linux" && pwd)/tools/recbase
windows_tool=$(cd "$dir" && pwd)/bin/recbase.exe

status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# 1. The window on a virtual X server.
(cd "$dir/bin" && timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" \
   "$wine" ./display_window_win32_test.exe) 2>&1 | tr -d '\r' | tee "$log" || status=1
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log")
failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$log")
[ -n "$passed" ] && [ -z "$failed" ] || status=1

# 2. The same report from both tools over the Linux tool's database.
work=$(mktemp -d)
awk 'BEGIN { print "part,\"n,L\",\"price,D\",bin";
             for (i = 0; i < 500; i++)
               printf "p%04d,%d,%.2f,b%d\n", (i * 389) % 1009, i - 250, i / 4.0, i % 13 }' \
  > "$work/in.csv"
"$linux_tool" db load "$work/L" "$work/in.csv" --quiet \
  --index 'part=part' --index 'bin=bin;n,L'
tools=0
for cmd in "info" "check" "dump" "dump --index bin"; do
  # shellcheck disable=SC2086  # the words of cmd are the tool's arguments
  (cd "$work" && "$linux_tool" db $cmd L > linux.out) || status=1
  # shellcheck disable=SC2086
  (cd "$work" && "$wine" "$windows_tool" db $cmd L | tr -d '\r' |
     sed -E '/^(data|index) file/ { s|Z:\\|/|; s|\\|/|g; }' > windows.out) || status=1
  if cmp -s "$work/linux.out" "$work/windows.out"; then
    tools=$((tools + 1))
  else
    echo "db $cmd: the Windows tool prints otherwise:"
    diff "$work/linux.out" "$work/windows.out" | head -20
    status=1
  fi
done
rm -rf "$work"

echo "recbase.exe over a Linux database: $tools of 4 reports as on Linux"
echo "windows-window: ${passed:-0} passed, ${failed:-0} failed"
exit $status
