#!/usr/bin/env bash
# The Windows output window and the Windows tool under Wine:
#  1. the window's test program on a virtual X server (Wine draws its
#     windows through X), 64-bit and 32-bit: its size, its painted cells
#     read back as pixels, scrolling, closing, the end-session query and the
#     message box;
#  2. the 64-bit recbase.exe over a database written by the Linux tool:
#     `db info`, `db check` and `db dump` print what the Linux tool prints,
#     line endings aside (and the file names in `db info`, which Wine spells
#     Z:\dir\name).
# scripts/test-windows.sh calls it after its builds; it builds what is
# missing itself.
#   BUILD_PREFIX     the Windows builds are BUILD_PREFIX-x86_64 and -i686
#                    (default: build-win)
#   LINUX_BUILD_DIR  the Linux build whose tool is compared (default: build)
#   WINDOW_ARCHS     the builds whose window test runs (default: x86_64 i686;
#                    32-bit Wine may run through QEMU, about half a minute)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_windows_tools
ensure_packages xvfb xauth

prefix=${BUILD_PREFIX:-build-win}
linux=${LINUX_BUILD_DIR:-build}
export WINEDEBUG=-all

# Builds the targets given of BUILD_PREFIX-arch that are missing.
build() {
  local arch=$1 dir=$prefix-$1 target missing=()
  shift
  for target in "$@"; do
    [ -x "$dir/bin/${target/recbase_tool/recbase}.exe" ] || missing+=("$target")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$arch.cmake" \
    -DRECBASE_WERROR=ON >/dev/null
  cmake --build "$dir" -j2 --target "${missing[@]}"
}

status=0
total_passed=0
total_failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# 1. The window on a virtual X server.
for arch in ${WINDOW_ARCHS:-x86_64 i686}; do
  build "$arch" display_window_win32_test
  loader=/usr/lib/wine/wine64
  [ "$arch" = i686 ] && loader=/usr/lib/wine/wine
  # A wineserver still up from a run without X (the suites just before, or
  # a Windows tool started by hand) keeps its desktop without a display, and
  # every window the test makes then fails at once: stop it, so that the
  # test's own server starts under the virtual X server.
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
  (cd "$prefix-$arch/bin" && timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" \
     env WINELOADER=$loader "$loader" ./display_window_win32_test.exe) 2>&1 |
    tr -d '\r' | tee "$log" || status=1
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log")
  failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$log")
  [ -n "$passed" ] && [ -z "$failed" ] || { echo "$arch: the window test failed"; status=1; }
  total_passed=$((total_passed + ${passed:-0}))
  total_failed=$((total_failed + ${failed:-0}))
done

# 2. The same report from both tools over the Linux tool's database.
build x86_64 recbase_tool
[ -x "$linux/tools/recbase" ] ||
  { cmake -S . -B "$linux" >/dev/null && cmake --build "$linux" -j2 --target recbase_tool; }
linux_tool=$(cd "$linux" && pwd)/tools/recbase
windows_tool=$(cd "$prefix-x86_64" && pwd)/bin/recbase.exe
wine=/usr/lib/wine/wine64
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
  (cd "$work" && WINELOADER=$wine "$wine" "$windows_tool" db $cmd L | tr -d '\r' |
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
echo "windows-window: $total_passed passed, $total_failed failed"
exit $status
