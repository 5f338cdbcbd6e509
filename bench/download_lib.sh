# Sourced by the download benchmarks: a scratch folder with two random files served by
# nginx on a free loopback port, best-of-N timing and the table rows.

# bench_setup PREFIX SIZE_MIB: $work (removed on exit) with html/big.bin of SIZE_MIB,
# html/small.bin an eighth of it, and an empty out/.
bench_setup() {
  work=$(mktemp -d "/tmp/$1-XXXXXX")
  nginx_pid=""
  trap bench_cleanup EXIT
  mkdir -p "$work/html" "$work/logs" "$work/out"
  head -c $(($2 * 1024 * 1024)) /dev/urandom >"$work/html/big.bin"
  head -c $(($2 * 1024 * 1024 / 8)) /dev/urandom >"$work/html/small.bin"
}

bench_cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}

# A random port (or BENCH_PORT), once: nginx either binds it or exits.
bench_nginx_once() {
  port=${BENCH_PORT:-$((20000 + RANDOM % 40000))}
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
  ${BENCH_HTTP:-}
  server {
    listen 127.0.0.1:$port${BENCH_LISTEN:-};
    root $work/html;
    $1
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

# bench_nginx [SERVER_LINES]: serves $work/html; sets $url.
bench_nginx() {
  for _ in 1 2 3 4 5; do bench_nginx_once "${1:-}" && break; done
  [ -n "$nginx_pid" ] || { echo "nginx did not start" >&2; cat "$work/logs/error.log" >&2; exit 1; }
  url=${BENCH_SCHEME:-http}://127.0.0.1:$port
}

# bench_time BEST COMMAND...: runs COMMAND under /usr/bin/time and prints
# "wall user sys maxrss_kb" of whichever of it and BEST had the shorter wall time.
bench_time() {
  local best=$1 line
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null
  line=$(tail -1 "$work/time")
  if [ -z "$best" ] || awk -v a="$line" -v b="$best" 'BEGIN{split(a,x," ");split(b,y," ");exit !(x[1]<y[1])}'; then
    echo "$line"
  else
    echo "$best"
  fi
}

# bench_row TOOL WHERE "wall user sys maxrss_kb": one line of the results table.
bench_row() {
  read -r wall user sys rss <<<"$3"
  awk -v n="$1" -v d="$2" -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" -v mib="$size_mib" \
    'BEGIN{ if (w<=0) w=0.01; printf "%-8s %-9s %8.2f %9.1f %8.2f %10.1f\n", n, d, w, mib*1.048576/w, u+s, m/1024 }'
}

# bench_median "wall user sys maxrss_kb"...: the median of each column on its own.
bench_median() {
  printf '%s\n' "$@" | awk '{ for (i = 1; i <= 4; ++i) v[i, NR] = $i }
    END { for (i = 1; i <= 4; ++i) {
            n = 0; for (r = 1; r <= NR; ++r) a[++n] = v[i, r]
            for (x = 2; x <= n; ++x) for (y = x; y > 1 && a[y-1] > a[y]; --y) { t = a[y]; a[y] = a[y-1]; a[y-1] = t }
            m[i] = n % 2 ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2 }
          print m[1], m[2], m[3], m[4] }'
}

# bench_ratios FORMAT TOOL_RESULT CURL_RESULT: throughput, CPU and memory against curl,
# printed with FORMAT (three numbers).
bench_ratios() {
  read -r gw gu gs gm <<<"$2"
  read -r cw cu cs cm <<<"$3"
  awk -v f="$1" -v gw="$gw" -v gu="$gu" -v gs="$gs" -v gm="$gm" -v cw="$cw" -v cu="$cu" -v cs="$cs" -v cm="$cm" \
    'BEGIN{ if (gw<=0) gw=0.01; c=cu+cs; if (c<=0) c=0.01; printf f, cw/gw, (gu+gs)/c, gm/cm }'
}

# bench_flat TOOL SMALL_RESULT BIG_RESULT: peak memory for both file sizes.
bench_flat() {
  awk -v t="$1" -v s="$(echo "$2" | awk '{print $4}')" -v b="$(echo "$3" | awk '{print $4}')" -v mib="$size_mib" \
    'BEGIN{ printf "%s peak memory: %.1f MiB for %d MiB, %.1f MiB for %d MiB\n", t, s/1024, mib/8, b/1024, mib }'
}
