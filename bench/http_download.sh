#!/usr/bin/env bash
# Downloads one large file from nginx on loopback with examples/httpget and with curl,
# to /dev/null and to a file, and prints wall time, MB/s, CPU seconds and peak memory of
# both and their ratios (httpget / curl). A smaller file is fetched too, to show that
# memory does not grow with the file.
#
#   bench/http_download.sh [HTTPGET]     (SIZE_MIB=256 RUNS=3 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
httpget=${1:-$top/build/examples/httpget}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
[ -x "$httpget" ] || { echo "missing $httpget: build the httpget target first" >&2; exit 1; }
for tool in nginx curl /usr/bin/time; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "missing $tool: run scripts/deps.sh" >&2; exit 1; }
done

work=$(mktemp -d /tmp/httpbench-XXXXXX)
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/html" "$work/logs"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/html/big.bin"
head -c $((size_mib * 1024 * 1024 / 8)) /dev/urandom >"$work/html/small.bin"

# A free port: nginx is started on a random one until it binds.
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
  server { listen 127.0.0.1:$port; root $work/html; }
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

# measure NAME FILE DEST: best wall time of $runs runs; prints "wall user sys maxrss_kb".
measure() {
  local name=$1 file=$2 dest=$3 best="" line
  for _ in $(seq "$runs"); do
    rm -f "$work/out"
    case $name in
      httpget) if [ "$dest" = null ]; then cmd=("$httpget" "$url/$file"); else cmd=("$httpget" -o "$work/out" "$url/$file"); fi ;;
      curl) if [ "$dest" = null ]; then cmd=(curl -s "$url/$file"); else cmd=(curl -s -o "$work/out" "$url/$file"); fi ;;
    esac
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${cmd[@]}" >/dev/null
    line=$(tail -1 "$work/time")
    if [ "$dest" = file ] && ! cmp -s "$work/out" "$work/html/$file"; then
      echo "$name wrote a wrong $file" >&2
      exit 1
    fi
    if [ -z "$best" ] || awk -v a="$line" -v b="$best" 'BEGIN{split(a,x," ");split(b,y," ");exit !(x[1]<y[1])}'; then
      best=$line
    fi
  done
  echo "$best"
}

printf '%s MiB from nginx on loopback, best of %s runs\n\n' "$size_mib" "$runs"
printf '%-8s %-9s %8s %9s %8s %10s\n' tool to "wall s" "MB/s" "CPU s" "peak MiB"
declare -A result
for dest in null file; do
  for name in httpget curl; do
    r=$(measure $name big.bin $dest)
    result[$name-$dest]=$r
    read -r wall user sys rss <<<"$r"
    awk -v n=$name -v d=$([ $dest = null ] && echo /dev/null || echo file) -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" -v mib="$size_mib" \
      'BEGIN{ if (w<=0) w=0.01; printf "%-8s %-9s %8.2f %9.1f %8.2f %10.1f\n", n, d, w, mib*1.048576/w, u+s, m/1024 }'
  done
done
echo
printf '%-9s %18s %14s %14s\n' to "throughput ratio" "CPU ratio" "memory ratio"
for dest in null file; do
  read -r gw gu gs gm <<<"${result[httpget-$dest]}"
  read -r cw cu cs cm <<<"${result[curl-$dest]}"
  awk -v d=$([ $dest = null ] && echo /dev/null || echo file) -v gw="$gw" -v gu="$gu" -v gs="$gs" -v gm="$gm" -v cw="$cw" -v cu="$cu" -v cs="$cs" -v cm="$cm" \
    'BEGIN{ if (gw<=0) gw=0.01; c=cu+cs; if (c<=0) c=0.01; printf "%-9s %18.2f %14.2f %14.2f\n", d, cw/gw, (gu+gs)/c, gm/cm }'
done
echo
small=$(measure httpget small.bin null)
big=${result[httpget-null]}
awk -v s="$(echo "$small" | awk '{print $4}')" -v b="$(echo "$big" | awk '{print $4}')" -v mib="$size_mib" \
  'BEGIN{ printf "httpget peak memory: %.1f MiB for %d MiB, %.1f MiB for %d MiB\n", s/1024, mib/8, b/1024, mib }'
