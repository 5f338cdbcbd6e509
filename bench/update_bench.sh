#!/usr/bin/env bash
# The whole update side by side with the shell pipeline a vendor could write instead
# (curl the release date, curl the package, 7z x, cp), for several package shapes, from
# nginx on loopback, in one run: the median of RUNS interleaved pairs, the updater's
# phases read from the moments its console lines appear, its peak memory. Then the 7-Zip
# bridge alone on each package against `7z x` and `7z x -mmt1`, and the peak memory of
# the bridge on the caller's thread, on the library's threads, and of `7z x`.
#
#   bench/update_bench.sh [BUILD_DIR]
#     RUNS=5          pairs per shape
#     SCALE=1         package sizes times SCALE (0.1 for a quick look)
#     SHAPES="one-large many-small mixed larger"
#
# one-large: one incompressible 100 MiB file. many-small: 4000 files of 1-16 KiB, half
# text. mixed: ten files of 10 MiB, half incompressible, half text. larger: twenty files
# of 15 MiB, half and half. Packages are made with `7z a -mx=3`.
# The updater asks the base URL compiled into BUILD_DIR (a loopback http URL): nginx
# listens there, so that port must be free.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
runs=${RUNS:-5}
scale=${SCALE:-1}
shapes=${SHAPES:-one-large many-small mixed larger}
for tool in curl 7z python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/deps.sh" >&2; exit 1; }
done
cmake --build "$build" --target updater extract_bench >/dev/null
updater=$build/updater/updater
base=$(sed -n 's/^UPDATER_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
if [[ ! $base =~ ^http://127\.0\.0\.1:([0-9]+)(/.*/)$ ]]; then
  echo "the build's UPDATER_BASE_URL ($base) is not http://127.0.0.1:PORT/PATH/" >&2
  exit 1
fi
export BENCH_PORT=${BASH_REMATCH[1]}
urlpath=${BASH_REMATCH[2]}

. "$top/bench/download_lib.sh"
bench_setup update-bench 0
bench_nginx
www=$work/html$urlpath
mkdir -p "$www"

# make_package SHAPE DIR: the files below DIR/files, list.ini naming them, run.sh.
make_package() {
  python3 - "$1" "$scale" "$2" <<'PY'
import os, random, sys
shape, scale, root = sys.argv[1], float(sys.argv[2]), sys.argv[3]
random.seed(16)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 10)))
         for _ in range(5000)]
MiB = 1024 * 1024
def text(size):
    out, n = [], 0
    while n < size:
        line = ' '.join(random.choice(words) for _ in range(12)) + '\n'
        out.append(line)
        n += len(line)
    return ''.join(out).encode()[:size]
def scaled(mib):
    return max(4096, int(mib * MiB * scale))
files = []  # (relative path, bytes)
if shape == 'one-large':
    files.append(('big.bin', os.urandom(scaled(100))))
elif shape == 'many-small':
    for i in range(max(10, int(4000 * scale))):
        size = random.randint(1024, 16384)
        files.append((f'd{i // 200:02d}/f{i:04d}.' + ('txt' if i % 2 else 'bin'),
                      text(size) if i % 2 else os.urandom(size)))
elif shape in ('mixed', 'larger'):
    count, mib = (10, 10) if shape == 'mixed' else (20, 15)
    for i in range(count):
        files.append((f'data/part{i:02d}.' + ('txt' if i % 2 else 'bin'),
                      text(scaled(mib)) if i % 2 else os.urandom(scaled(mib))))
else:
    sys.exit('unknown shape ' + shape)
for rel, data in files:
    path = os.path.join(root, 'files', rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
with open(os.path.join(root, 'run.sh'), 'w') as f:
    f.write('#!/bin/sh\nexit 0\n')
os.chmod(os.path.join(root, 'run.sh'), 0o755)
keys = [('files\\' + rel.replace('/', '\\'), rel.replace('/', '\\')) for rel, _ in files]
keys.append(('run.sh', 'run.sh'))
lines = ['[file]'] + [f'{k}={v}' for k, v in keys]
lines += ['[文件更新日期]'] + [f'{k}=20240301' for k, _ in keys]
lines += ['[更新日期]', '更新日期=20240301', '[运行]', '程序=run.sh']
with open(os.path.join(root, 'list.ini'), 'w', encoding='utf-8', newline='\r\n') as f:
    f.write('\n'.join(lines) + '\n')
PY
}

# new_app: a fresh installation of release 20240101 in $app.
new_app() {
  app=$work/run/app
  rm -rf "$work/run"
  mkdir -p "$app/升级" "$app/tmp"
  cp "$updater" "$app/updater"
  printf '%s\r\n' '[设置]' '软件类别=bench' '更新日期=20240101' > "$app/升级/更新记录.ini"
}

# check_app: the installation has the package's files and the new date.
check_app() {
  diff -rq "$work/pkg/files" "$app" 2>/dev/null | grep -q "^Only in $work/pkg/files" &&
    { echo "$1: files missing after the update" >&2; exit 1; }
  cmp -s "$work/pkg/files/$probe_file" "$app/$probe_file" || { echo "$1: $probe_file differs" >&2; exit 1; }
  grep -q '更新日期=20240301' "$app/升级/更新记录.ini" || { echo "$1: date not recorded" >&2; exit 1; }
}

# run_updater: prints "total check download unpack install peak_kib" (seconds; the one
# second start-up timer taken off the total and the check).
run_updater() {
  new_app
  local start end
  start=$EPOCHREALTIME
  (cd "$work/run" && env -u DISPLAY /usr/bin/time -f %M -o "$work/rss" "$app/updater" </dev/null) |
    while IFS= read -r line; do echo "$EPOCHREALTIME $line"; done > "$work/lines"
  end=$EPOCHREALTIME
  check_app updater
  awk -v s="$start" -v e="$end" -v rss="$(tail -1 "$work/rss")" '
    / window: / && !w { w = $1 } / label Label1: 已下载/ && !d { d = $1 }
    /正在解压文件/ && !u { u = $1 } /正在复制文件/ && !i { i = $1 } / closed: / && !c { c = $1 }
    END {
      if (!w || !d || !u || !i || !c) { print "updater: missing console lines" > "/dev/stderr"; exit 1 }
      printf "%.3f %.3f %.3f %.3f %.3f %d\n", e - s - 1, d - w - 1, u - d, i - u, c - i, rss }' "$work/lines"
}

# run_pipeline: prints "total date download unpack copy" (seconds).
run_pipeline() {
  new_app
  local t0 t1 t2 t3 t4 date
  t0=$EPOCHREALTIME
  date=$(curl -sf "${base}bench.html")
  [ "$date" -gt 20240101 ] || { echo "pipeline: no newer release" >&2; exit 1; }
  t1=$EPOCHREALTIME
  curl -sf -o "$app/tmp/rjsj.7z" "${base}bench.7z"
  t2=$EPOCHREALTIME
  7z x -y -bso0 -bsp0 -o"$app/升级" "$app/tmp/rjsj.7z" >/dev/null
  t3=$EPOCHREALTIME
  cp -a "$app/升级/files/." "$app/"
  cp "$app/升级/run.sh" "$app/"
  printf '%s\r\n' '[设置]' '软件类别=bench' "更新日期=$date" > "$app/升级/更新记录.ini"
  t4=$EPOCHREALTIME
  check_app pipeline
  awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v e="$t4" \
    'BEGIN { printf "%.3f %.3f %.3f %.3f %.3f\n", e - a, b - a, c - b, d - c, e - d }'
}

# median COLUMN FILE
median() { awk -v c="$1" '{ print $c }' "$2" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "whole update: updater (console mode) against curl + curl + 7z x + cp, median of $runs pairs"
echo "updater times leave out its 1 s start-up timer; SCALE=$scale; $(nproc) cores"
printf '%-10s %8s | %6s %8s %7s %7s %7s %8s | %6s %8s %7s %6s %7s | %5s\n' \
  shape "pkg MiB" check download unpack install total "peak MiB" date download unpack copy total ratio
summary=()
for shape in $shapes; do
  rm -rf "$work/pkg"
  mkdir -p "$work/pkg"
  make_package "$shape" "$work/pkg"
  probe_file=$(cd "$work/pkg/files" && find . -type f | sort | tail -1)
  rm -f "$www/bench.7z"
  (cd "$work/pkg" && 7z a -mx=3 -bso0 -bsp0 "$www/bench.7z" . >/dev/null)
  printf '20240301' > "$www/bench.html"
  : > "$work/u.txt"
  : > "$work/p.txt"
  for _ in $(seq "$runs"); do
    run_updater >> "$work/u.txt"
    run_pipeline >> "$work/p.txt"
  done
  pkg_mib=$(awk -v b="$(stat -c %s "$www/bench.7z")" 'BEGIN { printf "%.1f", b / 1048576 }')
  u=() p=()
  for c in 1 2 3 4 5 6; do u+=("$(median $c "$work/u.txt")"); done
  for c in 1 2 3 4 5; do p+=("$(median $c "$work/p.txt")"); done
  printf '%-10s %8s | %6.2f %8.2f %7.2f %7.2f %7.2f %8.1f | %6.2f %8.2f %7.2f %6.2f %7.2f | %5.2f\n' \
    "$shape" "$pkg_mib" "${u[1]}" "${u[2]}" "${u[3]}" "${u[4]}" "${u[0]}" "$(awk -v k="${u[5]}" 'BEGIN{print k/1024}')" \
    "${p[1]}" "${p[2]}" "${p[3]}" "${p[4]}" "${p[0]}" "$(awk -v a="${u[0]}" -v b="${p[0]}" 'BEGIN{print a/b}')"
  cp "$www/bench.7z" "$work/$shape.7z"
  summary+=("$shape")
done

echo
echo "the 7-Zip bridge alone, against 7z x and 7z x -mmt1 (3 runs each), then the peak memory"
echo "of one extraction each way"
peak() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null && awk '{ printf "%.1f", $1 / 1024 }' "$work/rss"; }
for shape in "${summary[@]}"; do
  "$build/bench/extract_bench" "$work/$shape.7z" "$work" 3
  caller=$(peak "$build/bench/extract_bench" "$work/$shape.7z" "$work" 1 caller)
  library=$(peak "$build/bench/extract_bench" "$work/$shape.7z" "$work" 1 library)
  rm -rf "$work/out"
  command=$(peak 7z x -bso0 -bsp0 -y "-o$work/out" "$work/$shape.7z")
  rm -rf "$work/out"
  echo "peak MiB: reader, caller's thread $caller; reader, library threads $library; 7z x $command"
done
