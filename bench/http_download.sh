#!/usr/bin/env bash
# Downloads one large file from nginx on loopback with examples/httpget and with curl,
# to /dev/null and to a file, and prints wall time, MB/s, CPU seconds and peak memory of
# both and their ratios (httpget / curl). A smaller file is fetched too, to show that
# memory does not grow with the file.
#
#   bench/http_download.sh [HTTPGET]     (SIZE_MIB=256 RUNS=3 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/download_lib.sh"
httpget=${1:-$top/build/examples/httpget}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
[ -x "$httpget" ] || { echo "missing $httpget: build the httpget target first" >&2; exit 1; }
for tool in nginx curl /usr/bin/time; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "missing $tool: run scripts/deps.sh" >&2; exit 1; }
done

bench_setup httpbench "$size_mib"
bench_nginx

# measure NAME FILE DEST: best wall time of $runs runs; prints "wall user sys maxrss_kb".
measure() {
  local name=$1 file=$2 dest=$3 best="" out=$work/out/$2
  for _ in $(seq "$runs"); do
    rm -f "$out"
    case $name-$dest in
      httpget-null) cmd=("$httpget" "$url/$file") ;;
      httpget-file) cmd=("$httpget" -o "$out" "$url/$file") ;;
      curl-null) cmd=(curl -s "$url/$file") ;;
      curl-file) cmd=(curl -s -o "$out" "$url/$file") ;;
    esac
    best=$(bench_time "$best" "${cmd[@]}")
    if [ "$dest" = file ] && ! cmp -s "$out" "$work/html/$file"; then
      echo "$name wrote a wrong $file" >&2
      exit 1
    fi
  done
  echo "$best"
}

where() { [ "$1" = null ] && echo /dev/null || echo file; }

printf '%s MiB from nginx on loopback, best of %s runs\n\n' "$size_mib" "$runs"
printf '%-8s %-9s %8s %9s %8s %10s\n' tool to "wall s" "MB/s" "CPU s" "peak MiB"
declare -A result
for dest in null file; do
  for name in httpget curl; do
    result[$name-$dest]=$(measure $name big.bin $dest)
    bench_row $name "$(where $dest)" "${result[$name-$dest]}"
  done
done
echo
printf '%-9s %18s %14s %14s\n' to "throughput ratio" "CPU ratio" "memory ratio"
for dest in null file; do
  printf '%-9s' "$(where $dest)"
  bench_ratios ' %18.2f %14.2f %14.2f\n' "${result[httpget-$dest]}" "${result[curl-$dest]}"
done
echo
bench_flat httpget "$(measure httpget small.bin null)" "${result[httpget-null]}"
