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
mpget=${1:-$top/build/examples/mpget}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
rate=${RATE:-32m}
[ -x "$mpget" ] || { echo "missing $mpget: build the mpget target first" >&2; exit 1; }
for tool in curl aria2c /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/bench-download.sh" >&2; exit 1; }
done

work=$(mktemp -d /tmp/mpbench-XXXXXX)
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/html" "$work/logs" "$work/out"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/html/big.bin"
head -c $((size_mib * 1024 * 1024 / 8)) /dev/urandom >"$work/html/small.bin"

start_nginx() {
  port=$((20000 + RANDOM % 40000))
  cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/logs/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/tmp_body;
  proxy_temp_path $work/tmp_proxy;
  fastcgi_temp_path $work/tmp_fastcgi;
  uwsgi_temp_path $work/tmp_uwsgi;
  scgi_temp_path $work/tmp_scgi;
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $work/html;
    location /limited/ { rewrite ^/limited/(.*)\$ /\$1 break; limit_rate $rate; }
  }
}
CONF
  /usr/sbin/nginx -p "$work" -e "$work/logs/error.log" -c "$work/nginx.conf" &
  nginx_pid=$!
  for _ in $(seq 100); do
    kill -0 "$nginx_pid" 2>/dev/null || { nginx_pid=""; return 1; }
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
for _ in 1 2 3 4 5; do start_nginx && break; done
[ -n "$nginx_pid" ] || { echo "nginx did not start" >&2; cat "$work/logs/error.log" >&2; exit 1; }
url=http://127.0.0.1:$port

# measure TOOL PATH RUNS: best wall time; prints "wall user sys maxrss_kb".
measure() {
  local name=$1 path=$2 n=$3 best="" line file=${2##*/}
  for _ in $(seq "$n"); do
    rm -f "$work/out/$file" "$work/out/$file.aria2"
    case $name in
      mpget) cmd=("$mpget" "$url/$path" "$work/out/$file" --parts 2) ;;
      aria2c) cmd=(aria2c -q -x2 -s2 --file-allocation=none --allow-overwrite=true --auto-file-renaming=false
                   -d "$work/out" -o "$file" "$url/$path") ;;
      curl) cmd=(curl -s -o "$work/out/$file" "$url/$path") ;;
    esac
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${cmd[@]}" >/dev/null
    line=$(tail -1 "$work/time")
    cmp -s "$work/out/$file" "$work/html/$file" || { echo "$name wrote a wrong $file" >&2; exit 1; }
    if [ -z "$best" ] || awk -v a="$line" -v b="$best" 'BEGIN{split(a,x," ");split(b,y," ");exit !(x[1]<y[1])}'; then
      best=$line
    fi
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
    r=$(measure $name $path $n)
    result[$name-$mode]=$r
    read -r wall user sys rss <<<"$r"
    awk -v n=$name -v d=$mode -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" -v mib="$size_mib" \
      'BEGIN{ if (w<=0) w=0.01; printf "%-8s %-9s %8.2f %9.1f %8.2f %10.1f\n", n, d, w, mib*1.048576/w, u+s, m/1024 }'
  done
done
echo
printf '%-16s %-9s %18s %12s %14s\n' "against curl" server "throughput ratio" "CPU ratio" "memory ratio"
for mode in full limited; do
  read -r cw cu cs cm <<<"${result[curl-$mode]}"
  for name in mpget aria2c; do
    read -r gw gu gs gm <<<"${result[$name-$mode]}"
    awk -v n=$name -v d=$mode -v gw="$gw" -v gu="$gu" -v gs="$gs" -v gm="$gm" -v cw="$cw" -v cu="$cu" -v cs="$cs" -v cm="$cm" \
      'BEGIN{ if (gw<=0) gw=0.01; c=cu+cs; if (c<=0) c=0.01; printf "%-16s %-9s %18.2f %12.2f %14.2f\n", n, d, cw/gw, (gu+gs)/c, gm/cm }'
  done
done
echo
small=$(measure mpget small.bin 1)
awk -v s="$(echo "$small" | awk '{print $4}')" -v b="$(echo "${result[mpget-full]}" | awk '{print $4}')" -v mib="$size_mib" \
  'BEGIN{ printf "mpget peak memory: %.1f MiB for %d MiB, %.1f MiB for %d MiB\n", s/1024, mib/8, b/1024, mib }'
