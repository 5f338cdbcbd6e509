#!/usr/bin/env bash
# Builds the httpget example (normal build) and compares its downloads with curl's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
if [ ! -f "$top/build/build.ninja" ]; then
  cmake -S "$top" -B "$top/build" -G Ninja >/dev/null
fi
cmake --build "$top/build" -j "$(nproc)" --target httpget
exec "$top/bench/http_download.sh" "$top/build/examples/httpget"
