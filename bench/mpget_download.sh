#!/usr/bin/env bash
# Fetches one large file from nginx on loopback into a file with examples/mpget (two
# ranges), aria2c (-x2 -s2) and curl (one connection): at full speed, and through a
# location that holds each connection to a fixed rate, where parallel ranges should pay.
# Prints wall time, MB/s, CPU seconds and peak memory of each, and the ratios against
# curl; then mpget's peak memory for a file an eighth the size, to show it stays flat.
#
#   bench/mpget_download.sh [MPGET]   (SIZE_MIB=256 RUNS=3 RATE=32m by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/download_lib.sh"
mpget=${1:-$top/build/examples/mpget}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
rate=${RATE:-32m}
[ -x "$mpget" ] || { echo "missing $mpget: build the mpget target first" >&2; exit 1; }
for tool in curl aria2c /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/bench-download.sh" >&2; exit 1; }
done

bench_setup mpbench "$size_mib"
bench_nginx "location /limited/ { rewrite ^/limited/(.*)\$ /\$1 break; limit_rate $rate; }"

# measure TOOL PATH RUNS: best wall time; prints "wall user sys maxrss_kb".
measure() {
  local name=$1 path=$2 n=$3 best="" file=${2##*/}
  for _ in $(seq "$n"); do
    rm -f "$work/out/$file" "$work/out/$file.aria2"
    case $name in
      mpget) cmd=("$mpget" "$url/$path" "$work/out/$file" --parts 2) ;;
      aria2c) cmd=(aria2c -q -x2 -s2 --file-allocation=none --allow-overwrite=true --auto-file-renaming=false
                   -d "$work/out" -o "$file" "$url/$path") ;;
      curl) cmd=(curl -s -o "$work/out/$file" "$url/$path") ;;
    esac
    best=$(bench_time "$best" "${cmd[@]}")
    cmp -s "$work/out/$file" "$work/html/$file" || { echo "$name wrote a wrong $file" >&2; exit 1; }
  done
  echo "$best"
}

printf '%s MiB from nginx on loopback into a file; full speed best of %s runs, limited to %s per connection once\n\n' \
  "$size_mib" "$runs" "$rate"
printf '%-8s %-9s %8s %9s %8s %10s\n' tool server "wall s" "MB/s" "CPU s" "peak MiB"
declare -A result
for mode in full limited; do
  path=big.bin; n=$runs
  [ $mode = limited ] && { path=limited/big.bin; n=1; }
  for name in mpget aria2c curl; do
    result[$name-$mode]=$(measure $name $path $n)
    bench_row $name $mode "${result[$name-$mode]}"
  done
done
echo
printf '%-16s %-9s %18s %12s %14s\n' "against curl" server "throughput ratio" "CPU ratio" "memory ratio"
for mode in full limited; do
  for name in mpget aria2c; do
    printf '%-16s %-9s' $name $mode
    bench_ratios ' %18.2f %12.2f %14.2f\n' "${result[$name-$mode]}" "${result[curl-$mode]}"
  done
done
echo
bench_flat mpget "$(measure mpget small.bin 1)" "${result[mpget-full]}"
