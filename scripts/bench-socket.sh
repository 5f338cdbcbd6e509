#!/usr/bin/env bash
# Receive throughput of TWSocket against a plain poll()+recv() loop over loopback.
# Usage: scripts/bench-socket.sh [MiB, default 1024] [buffer bytes, default 65536]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
dir="$top/build"
[ -f "$dir/build.ninja" ] || cmake -S "$top" -B "$dir" -G Ninja >/dev/null
cmake --build "$dir" -j "$(nproc)" --target socket_bench
"$dir/bench/socket_bench" "$@"
