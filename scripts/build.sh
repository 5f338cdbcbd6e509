#!/usr/bin/env bash
# Configures and builds. Usage: scripts/build.sh [normal|asan] (default normal).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-normal}
case "$kind" in
  normal) dir="$top/build";      extra=() ;;
  asan)   dir="$top/build-asan"; extra=(-DSANITIZE=ON) ;;
  *) echo "usage: $0 [normal|asan]" >&2; exit 2 ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja "${extra[@]}" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
