#!/usr/bin/env bash
# Bytes fetched for one package over a line that breaks every connection after a fixed
# number of body bytes: examples/mpget --parts 2 as it was before parts resumed (built from
# BEFORE_REV into build-bench-before/), as it is now, and aria2c -x2 -s2, in the same run
# against the same server (bench/breaking_server).
#
#   bench/resume_bench.sh   (SIZE_MIB=100 BREAK_MIB=10 BEFORE_REV=555c68f by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-100}
break_mib=${BREAK_MIB:-10}
before_rev=${BEFORE_REV:-555c68f}
"$top/scripts/deps.sh"

cmake --build "$top/build" -j 2 --target mpget breaking_server >/dev/null
after=$top/build/examples/mpget
server=$top/build/bench/breaking_server

# The downloader of before, built once from its own checkout.
before_src=$top/build-bench-before/src
before=$top/build-bench-before/build/examples/mpget
if [ ! -x "$before" ]; then
  rm -rf "$before_src"
  mkdir -p "$top/build-bench-before"
  git -C "$top" archive --format=tar --prefix=src/ "$before_rev" | tar -x -C "$top/build-bench-before"
  cmake -S "$before_src" -B "$top/build-bench-before/build" -G Ninja -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$top/build-bench-before/build" -j 2 --target mpget >/dev/null
fi

work=$(mktemp -d /tmp/resume-bench-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/pkg.7z"

# run NAME COMMAND...: a fresh server, the client, then what the server sent.
run() {
  local name=$1
  shift
  rm -f "$work/out.7z" "$work/out.7z.aria2" "$work/port" "$work/count"
  "$server" "$work/pkg.7z" $((break_mib * 1024 * 1024)) "$work/port" "$work/count" &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  local url="http://127.0.0.1:$(cat "$work/port")/pkg.7z"
  local start end status=0
  start=$(date +%s.%N)
  "$@" "$url" >"$work/$name.log" 2>&1 || status=$?
  end=$(date +%s.%N)
  sleep 0.2
  kill "$pid" && wait "$pid" 2>/dev/null || true
  pid=""
  local fetched ok=no
  fetched=$(cat "$work/count")
  cmp -s "$work/out.7z" "$work/pkg.7z" 2>/dev/null && ok=yes
  awk -v n="$name" -v s="$status" -v ok="$ok" -v f="$fetched" -v a="$start" -v b="$end" \
    'BEGIN { printf "%-14s %6s %9s %14s %10.2f %10.1f\n", n, s, ok, f, f / 1048576, b - a }'
}

printf '%s MiB, every connection broken after %s MiB of body\n\n' "$size_mib" "$break_mib"
printf '%-14s %6s %9s %14s %10s %10s\n' client exit complete "bytes fetched" MiB "wall s"
run mpget-before "$before" --parts 2 -o "$work/out.7z"
run mpget-after "$after" --parts 2 -o "$work/out.7z"
run aria2c aria2c -q -x2 -s2 --max-tries=0 --retry-wait=1 --file-allocation=none --allow-overwrite=true \
  --auto-file-renaming=false -d "$work" -o out.7z
