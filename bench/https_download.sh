#!/usr/bin/env bash
# examples/httpget over https against curl over https: one large file from nginx on
# loopback to /dev/null, both held to the same protocol and cipher (TLS 1.2,
# ECDHE-ECDSA-AES128-GCM-SHA256; nginx's log shows what each client negotiated). The two
# run alternately, so a burst of load from elsewhere hits both; prints the median wall time,
# MB/s, CPU seconds (user + system), CPU milliseconds per MiB and peak memory of each and
# their ratios (httpget / curl).
#
#   bench/https_download.sh [HTTPGET]     (SIZE_MIB=256 RUNS=5 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/download_lib.sh"
httpget=${1:-$top/build/examples/httpget}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-5}
[ -x "$httpget" ] || { echo "missing $httpget: build the httpget target first" >&2; exit 1; }
for tool in nginx curl certtool python3; do
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
BENCH_HTTP='log_format tls "$ssl_protocol $ssl_cipher $http_user_agent";' \
BENCH_LISTEN=" ssl" BENCH_SCHEME=https bench_nginx "ssl_certificate $pki/srv.pem;
    ssl_certificate_key $pki/srv.key;
    ssl_protocols TLSv1.2;
    ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256;
    access_log $work/logs/tls.log tls;"

cmd_of() {
  case $1 in
    httpget) cmd=("$httpget" --cacert "$pki/ca.pem" "$url/big.bin") ;;
    curl) cmd=(curl -s --cacert "$pki/ca.pem" "$url/big.bin") ;;
  esac
}

# "wall user sys maxrss_kb" of one run, CPU from the child's own rusage to the microsecond
# (time(1) rounds to 10 ms, 6 % of curl's CPU for 256 MiB).
run_once() {
  python3 - "$@" <<'PY'
import os, sys, time
t = time.monotonic()
pid = os.fork()
if pid == 0:
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, ru = os.wait4(pid, 0)
if status:
    sys.exit("%s failed" % sys.argv[1])
print("%.4f %.4f %.4f %d" % (time.monotonic() - t, ru.ru_utime, ru.ru_stime, ru.ru_maxrss))
PY
}

declare -A times
for run in $(seq "$runs"); do
  # Alternate who goes first, so neither always meets a warm or a cold cache.
  order="httpget curl"
  [ $((run % 2)) -eq 0 ] && order="curl httpget"
  for name in $order; do
    cmd_of $name
    times[$name]+="$(run_once "${cmd[@]}")"$'\n'
  done
done

printf '%s MiB over https from nginx on loopback, median of %s alternating runs\n\n' "$size_mib" "$runs"
echo "requests, protocol, cipher, client, as nginx logged them:"
sort "$work/logs/tls.log" | uniq -c | sed 's/^ */  /'
echo
printf '%-8s %-9s %8s %9s %8s %10s %10s\n' tool to "wall s" "MB/s" "CPU s" "CPU ms/MiB" "peak MiB"
declare -A result
for name in httpget curl; do
  mapfile -t lines <<<"${times[$name]%$'\n'}"
  result[$name]=$(bench_median "${lines[@]}")
  read -r wall user sys rss <<<"${result[$name]}"
  awk -v n=$name -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" -v mib="$size_mib" \
    'BEGIN{ if (w<=0) w=0.01; printf "%-8s %-9s %8.3f %9.1f %8.3f %10.3f %10.1f\n", n, "/dev/null", w, mib*1.048576/w, u+s, (u+s)*1000/mib, m/1024 }'
done
echo
printf '%-9s %18s %14s %14s\n' to "throughput ratio" "CPU ratio" "memory ratio"
printf '%-9s' /dev/null
bench_ratios ' %18.2f %14.2f %14.2f\n' "${result[httpget]}" "${result[curl]}"
echo
