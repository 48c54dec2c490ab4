#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks that a separate project
# finds it both through find_package(recbase) and through pkg-config.
#   BUILD_DIR  an already built build directory (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null

cmake -S tests/install_consumer -B "$work/cmake" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake/consumer"
(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake/class_consumer")

pcdir=$(dirname "$(find "$work/prefix" -name recbase.pc | head -n1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs recbase)
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir recbase)
# shellcheck disable=SC2086
cc tests/install_consumer/consumer.c $flags -o "$work/pc-consumer"
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer"
echo "install check passed"
