#!/usr/bin/env bash
# examples/httpget over https against curl over https: one large file from nginx on
# loopback to /dev/null, both held to the same protocol and cipher (TLS 1.2,
# ECDHE-ECDSA-AES128-GCM-SHA256), with a CA and certificate made for the run. Prints wall
# time, MB/s, CPU seconds and peak memory of both and their ratios (httpget / curl).
#
#   bench/https_download.sh [HTTPGET]     (SIZE_MIB=256 RUNS=3 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/download_lib.sh"
httpget=${1:-$top/build/examples/httpget}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
[ -x "$httpget" ] || { echo "missing $httpget: build the httpget target first" >&2; exit 1; }
for tool in nginx curl certtool /usr/bin/time; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "missing $tool: run scripts/deps.sh" >&2; exit 1; }
done

bench_setup httpsbench "$size_mib"
pki=$work/pki
mkdir -p "$pki"
certtool --generate-privkey --key-type=ecdsa --outfile "$pki/ca.key" 2>/dev/null
printf 'cn = Bench CA\nca\ncert_signing_key\nexpiration_days = 2\n' >"$pki/ca.tmpl"
certtool --generate-self-signed --load-privkey "$pki/ca.key" --template "$pki/ca.tmpl" \
  --outfile "$pki/ca.pem" 2>/dev/null
certtool --generate-privkey --key-type=ecdsa --outfile "$pki/srv.key" 2>/dev/null
printf 'cn = localhost\nip_address = 127.0.0.1\ntls_www_server\nexpiration_days = 2\n' >"$pki/srv.tmpl"
certtool --generate-certificate --load-privkey "$pki/srv.key" --load-ca-certificate "$pki/ca.pem" \
  --load-ca-privkey "$pki/ca.key" --template "$pki/srv.tmpl" --outfile "$pki/srv.pem" 2>/dev/null
BENCH_LISTEN=" ssl" BENCH_SCHEME=https bench_nginx "ssl_certificate $pki/srv.pem;
    ssl_certificate_key $pki/srv.key;
    ssl_protocols TLSv1.2;
    ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256;"

measure() {
  local name=$1 best=""
  for _ in $(seq "$runs"); do
    case $name in
      httpget) cmd=("$httpget" --cacert "$pki/ca.pem" "$url/big.bin") ;;
      curl) cmd=(curl -s --cacert "$pki/ca.pem" "$url/big.bin") ;;
    esac
    best=$(bench_time "$best" "${cmd[@]}")
  done
  echo "$best"
}

printf '%s MiB over https from nginx on loopback, best of %s runs\n\n' "$size_mib" "$runs"
printf '%-8s %-9s %8s %9s %8s %10s\n' tool to "wall s" "MB/s" "CPU s" "peak MiB"
declare -A result
for name in httpget curl; do
  result[$name]=$(measure $name)
  bench_row $name /dev/null "${result[$name]}"
done
echo
printf '%-9s %18s %14s %14s\n' to "throughput ratio" "CPU ratio" "memory ratio"
printf '%-9s' /dev/null
bench_ratios ' %18.2f %14.2f %14.2f\n' "${result[httpget]}" "${result[curl]}"
echo
