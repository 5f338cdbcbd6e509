#!/usr/bin/env bash
# Builds the mpget example (normal build) and compares its segmented downloads with
# aria2c and curl (bench/mpget_download.sh). aria2c is installed here, not by deps.sh:
# only this benchmark needs it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
if ! command -v aria2c >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends aria2 >/dev/null
fi
if [ ! -f "$top/build/build.ninja" ]; then
  cmake -S "$top" -B "$top/build" -G Ninja >/dev/null
fi
cmake --build "$top/build" -j "$(nproc)" --target mpget
exec "$top/bench/mpget_download.sh" "$top/build/examples/mpget"
