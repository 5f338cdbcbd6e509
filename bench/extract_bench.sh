#!/usr/bin/env bash
# Builds a mixed package of about 200 MiB (text, random data, system binaries, many small
# files) twice: as the 7z command makes it on this machine, and with eight encoder
# threads as on a bigger build machine (its LZMA2 stream then has independent blocks
# that can be decoded in parallel). Then times the extraction of each through the
# archive reader both ways and with the 7z command.
#
#   bench/extract_bench.sh [build dir] [runs]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
runs=${2:-3}
cmake --build "$build" --target extract_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$work/src
mkdir -p "$src/text" "$src/random" "$src/bin" "$src/small"

# 80 MiB of word text (compresses about 3:1).
python3 - "$src/text" <<'PY'
import random, sys, os
random.seed(7)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 10)))
         for _ in range(5000)]
for i in range(8):
    with open(os.path.join(sys.argv[1], f'doc{i}.txt'), 'w') as f:
        size = 0
        while size < 10 * 1024 * 1024:
            line = ' '.join(random.choice(words) for _ in range(12)) + '\n'
            f.write(line)
            size += len(line)
PY
# 50 MiB that does not compress.
for i in 0 1 2 3 4; do head -c $((10 * 1024 * 1024)) /dev/urandom >"$src/random/blob$i.bin"; done
# About 60 MiB of executables and libraries.
total=0
for f in /usr/lib/x86_64-linux-gnu/*.so.* /usr/bin/*; do
  [ -f "$f" ] && [ ! -L "$f" ] || continue
  sz=$(stat -c %s "$f")
  cp "$f" "$src/bin/" 2>/dev/null || continue
  total=$((total + sz))
  [ $total -gt $((60 * 1024 * 1024)) ] && break
done
# 3000 small files.
for i in $(seq 1 3000); do head -c $((RANDOM % 4096)) /dev/urandom | base64 >"$src/small/f$i.txt"; done

echo "source: $(du -sm "$src" | cut -f1) MiB, $(find "$src" -type f | wc -l) files"
(cd "$src" && 7z a -bso0 -bsp0 "$work/local.7z" .)
(cd "$src" && 7z a -bso0 -bsp0 -mmt=8 "$work/mt8.7z" .)
ls -l "$work"/*.7z | awk '{print $5, $9}'
rm -rf "$src"
for a in local mt8; do
  "$build/bench/extract_bench" "$work/$a.7z" "$work" "$runs"
done
