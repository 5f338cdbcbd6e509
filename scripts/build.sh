#!/usr/bin/env bash
# Configures and builds. Usage: scripts/build.sh [normal|asan|windows] (default normal).
# windows cross-builds the programs and tests for 64-bit Windows into build-windows/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-normal}
case "$kind" in
  normal) dir="$top/build";      extra=() ;;
  asan)   dir="$top/build-asan"; extra=(-DSANITIZE=ON) ;;
  windows)
    dir="$top/build-windows"
    deps=$("$top/scripts/windows-deps.sh" | tail -n 1)
    extra=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DWINDOWS_DEPS_DIR="$deps")
    ;;
  *) echo "usage: $0 [normal|asan|windows]" >&2; exit 2 ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja "${extra[@]}" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
