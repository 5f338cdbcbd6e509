#!/usr/bin/env bash
# Shows the main job. Usage: scripts/demo.sh [updater|repairtool|windows]
#   updater     (the default) a real update of a scratch installation from nginx on
#               127.0.0.1:18080: check, download in two parts, unpack, install, start
#   windows     the same update with the Windows build of the updater under Wine
#   repairtool  the repair tool on a sample component set in a scratch folder
# Installs what is needed and builds first. With a display the programs open their real
# window; without one they print what they show as lines (console mode).
# DEMO_UPDATER or DEMO_REPAIRTOOL name a program to run instead of the build's (an
# installed one, say); then nothing is built, except the release tool the updater demo
# publishes with when DEMO_RELEASE_TOOL names none and the build has none.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-updater}
case "$what" in
  updater|repairtool|windows) ;;
  *) echo "usage: $0 [updater|repairtool|windows]" >&2; exit 2 ;;
esac

"$top/scripts/deps.sh"
if [ -z "${DEMO_UPDATER:-}${DEMO_REPAIRTOOL:-}" ]; then
  "$top/scripts/build.sh" normal
elif [ "$what" != repairtool ] && [ -z "${DEMO_RELEASE_TOOL:-}" ] && [ ! -x "$top/build/release/updater-release" ]; then
  cmake -S "$top" -B "$top/build" -G Ninja >/dev/null
  cmake --build "$top/build" -j "$(nproc)" --target updater-release >/dev/null
fi

show_files() {  # folder, prefix to strip
  find "$1" -type f | sort | while IFS= read -r f; do
    printf '  %s: %s\n' "${f#"$2"/}" "$(head -c 60 "$f")"
  done
}

show_tree() {  # folder: every file with its first line, or its size when it is binary
  find "$1" -type f | sort | while IFS= read -r f; do
    if grep -Iq . "$f" 2>/dev/null || [ ! -s "$f" ]; then
      printf '  %s: %s\n' "${f#"$1"/}" "$(head -n 1 "$f" | tr -d '\r' | head -c 70)"
    else
      printf '  %s: <%s bytes>\n' "${f#"$1"/}" "$(stat -c %s "$f")"
    fi
  done
}

demo_repairtool() {
  local scratch app bin common log status
  scratch=$(mktemp -d /tmp/repairtool-demo-XXXXXX)
  app=$scratch/app                 # the program's folder is its application directory
  bin=$scratch/bin                 # a regsvr32 that only records its arguments
  common="$scratch/Common Files"   # COMMONPROGRAMFILES
  log=$bin/regsvr32.log
  mkdir -p "$app/xp" "$bin" "$common/System/ado"
  cp "${DEMO_REPAIRTOOL:-$top/build/repairtool/repairtool}" "$app/repairtool"

  # The "xp" component set: the files and their list (keys are file names, values the
  # destinations, with 路径 standing for <COMMONPROGRAMFILES>\System).
  for f in msado15.dll msadox.dll msadce.dll oledb32.dll; do
    printf 'component %s from the xp set\n' "$f" > "$app/xp/$f"
  done
  printf '%s\r\n' '[文件列表]' \
    'msado15.dll=路径\ado\msado15.dll' \
    'msadox.dll=路径\ado\msadox.dll' \
    'msadce.dll=路径\msadc\msadce.dll' \
    'oledb32.dll=路径\ole db\oledb32.dll' > "$app/xp/文件列表.ini"
  # Already in place: the repair leaves it alone but registers it again.
  echo "installed before the repair" > "$common/System/ado/msado15.dll"

  cat > "$bin/regsvr32" <<'FAKE'
#!/bin/sh
line="regsvr32 \"$1\""
shift
for a in "$@"; do line="$line $a"; done
printf '%s\n' "$line" >> "$(dirname "$0")/regsvr32.log"
FAKE
  chmod +x "$bin/regsvr32"

  echo "== scratch folder: $scratch"
  echo "== component set xp/文件列表.ini:"
  sed 's/^/  /; s/\r$//' "$app/xp/文件列表.ini"
  echo "== before the repair, under COMMONPROGRAMFILES:"
  show_files "$common" "$scratch"
  if [ -n "${DISPLAY:-}" ]; then
    echo "== running repairtool (a window opens; after the countdown press 确定 on 修复完毕)"
  else
    echo "== running repairtool (no display: console mode, one line per visible event)"
  fi
  status=0
  (cd "$scratch" && PATH="$bin:$PATH" COMMONPROGRAMFILES="$common" "$app/repairtool" < /dev/null) \
    | sed 's/^/  /' || status=$?
  echo "== exit status: $status"

  # regsvr32 runs detached: give the four registrations a moment to be recorded.
  for _ in $(seq 50); do
    [ -f "$log" ] && [ "$(wc -l < "$log")" -ge 4 ] && break
    sleep 0.1
  done
  echo "== after the repair, under COMMONPROGRAMFILES:"
  show_files "$common" "$scratch"
  echo "== regsvr32 was started with:"
  sed 's/^/  /' "$log" 2>/dev/null || echo "  (nothing)"
  return "$status"
}

# The update server of the demo; the updater's default base URL points here.
demo_port=18080
demo_base_url=http://127.0.0.1:$demo_port/update/

# The demo's vendor key, made once by the release tool and kept beside the demo's build.
demo_key=$top/build-demo/demo-vendor.key
release_tool=${DEMO_RELEASE_TOOL:-$top/build/release/updater-release}

# An updater built for the demo's server and the demo's key, in its own build folder.
demo_updater() {
  mkdir -p "$top/build-demo"
  [ -f "$demo_key" ] || "$release_tool" keygen "$demo_key" > "$top/build-demo/demo-vendor.pub"
  if [ -n "${DEMO_UPDATER:-}" ]; then
    echo "$DEMO_UPDATER"
    return
  fi
  if [ "$what" = windows ]; then
    local deps
    deps=$("$top/scripts/windows-deps.sh" | tail -n 1)
    cmake -S "$top" -B "$top/build-demo-windows" -G Ninja -DBUILD_TESTING=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DWINDOWS_DEPS_DIR="$deps" \
      -DUPDATER_BASE_URL="$demo_base_url" -DUPDATER_PUBLIC_KEY="$(cat "$top/build-demo/demo-vendor.pub")" >/dev/null
    cmake --build "$top/build-demo-windows" -j "$(nproc)" --target updater >/dev/null
    echo "$top/build-demo-windows/updater/updater.exe"
    return
  fi
  cmake -S "$top" -B "$top/build-demo" -G Ninja -DBUILD_TESTING=OFF -DUPDATER_BASE_URL="$demo_base_url" \
    -DUPDATER_PUBLIC_KEY="$(cat "$top/build-demo/demo-vendor.pub")" >/dev/null
  cmake --build "$top/build-demo" -j "$(nproc)" --target updater >/dev/null
  echo "$top/build-demo/updater/updater"
}

demo_updater_run() {
  local scratch app www pkg updater nginx_pid="" status
  scratch=$(mktemp -d /tmp/updater-demo-XXXXXX)
  app=$scratch/app      # the program's folder is its application directory
  www=$scratch/www      # what nginx serves
  pkg=$scratch/package  # what goes into the update package
  updater=$(demo_updater)
  mkdir -p "$app/升级" "$app/tmp" "$www/update" "$pkg/data" "$scratch/logs"
  local program=updater started=demo-app.sh
  if [ "$what" = windows ]; then
    # The program with the 7-Zip library beside it, as it is shipped; the application the
    # release starts is a command script, which Windows can run.
    program=updater.exe started=demo-app.cmd
    cp "$(dirname "$updater")/7z.dll" "$app/"
  fi
  cp "$updater" "$app/$program"

  # The installed release of 2024-01-01: its application, a readme and the update record.
  cat > "$app/demo-app.sh" <<'APP'
#!/bin/sh
echo "demo application, release 20240101, started" >> "$(dirname "$0")/started.log"
APP
  chmod +x "$app/demo-app.sh"
  echo "readme of release 20240101" > "$app/readme.txt"
  printf '%s\r\n' '[设置]' '软件类别=demo' '更新日期=20240101' > "$app/升级/更新记录.ini"

  # The release of 2024-03-01 as the vendor publishes it: a 7z package with the manifest
  # list.ini at its root and the files it names, one of them in a subfolder.
  cat > "$pkg/demo-app.sh" <<'APP'
#!/bin/sh
echo "demo application, release 20240301, started" >> "$(dirname "$0")/started.log"
APP
  chmod +x "$pkg/demo-app.sh"
  echo "readme of release 20240301" > "$pkg/readme.txt"
  printf '%s\r\n' '[数据]' '版本=20240301' > "$pkg/data/settings.ini"
  # Some bulk, so that the two parts of the download can be watched.
  head -c $((4 * 1024 * 1024)) /dev/urandom > "$pkg/data/tables.bin"
  # The release tool writes the manifest, builds the package, signs it with the demo's
  # key and publishes package, statement and date file.
  if [ "$what" = windows ]; then
    printf '%s\r\n' '@echo off' 'echo demo application, release 20240301, started>> "%~dp0started.log"' > "$pkg/demo-app.cmd"
  fi
  "$release_tool" pack "$pkg" --date 20240301 --run "$started" --output "$scratch/demo.7z" >/dev/null
  "$release_tool" sign "$scratch/demo.7z" --category demo --date 20240301 --key "$demo_key" >/dev/null
  "$release_tool" publish "$scratch/demo.7z" "$scratch/demo.sig" "$www/update" >/dev/null

  # nginx on the fixed demo port; each connection is held to 512 KB/s so the bar can be watched.
  if (exec 3<>/dev/tcp/127.0.0.1/$demo_port) 2>/dev/null; then
    echo "port $demo_port is in use: stop what listens there and run the demo again" >&2
    return 1
  fi
  cat > "$scratch/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $scratch/logs/error.log;
pid $scratch/nginx.pid;
events { worker_connections 64; }
http {
  log_format demo '\$request \$status \$body_bytes_sent';
  access_log $scratch/logs/access.log demo;
  client_body_temp_path $scratch/tmp_body;
  proxy_temp_path $scratch/tmp_proxy;
  fastcgi_temp_path $scratch/tmp_fastcgi;
  uwsgi_temp_path $scratch/tmp_uwsgi;
  scgi_temp_path $scratch/tmp_scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$demo_port;
    root $www;
    location /update/ { limit_rate 512k; }
  }
}
CONF
  /usr/sbin/nginx -p "$scratch" -e "$scratch/logs/error.log" -c "$scratch/nginx.conf" &
  nginx_pid=$!
  # shellcheck disable=SC2064
  trap "kill $nginx_pid 2>/dev/null; wait $nginx_pid 2>/dev/null" EXIT
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/$demo_port) 2>/dev/null && break
    sleep 0.05
  done

  echo "== scratch installation: $app"
  echo "== update server: ${demo_base_url} (nginx), publishing demo.html = $(cat "$www/update/demo.html"), demo.sig and demo.7z ($(stat -c %s "$www/update/demo.7z") bytes)"
  echo "== the updater trusts the demo key $(cat "$top/build-demo/demo-vendor.pub"); the signed statement demo.sig:"
  sed 's/^/  /' "$www/update/demo.sig"
  echo "== updater-release verify, as the updater will check:"
  "$release_tool" verify "$www/update" --category demo --key "$top/build-demo/demo-vendor.pub" | sed 's/^/  /'
  echo "== before the update:"
  show_tree "$app"
  if [ -n "${DISPLAY:-}" ] && [ "$what" != windows ]; then
    echo "== running updater (a window opens: the check starts after a second, two blue segments fill, then it installs and closes)"
  else
    echo "== running updater (no display: console mode, one line per visible event)"
  fi
  status=0
  if [ "$what" = windows ]; then
    # shellcheck source=scripts/wine-env.sh
    (source "$top/scripts/wine-env.sh" && cd "$scratch" && DISPLAY= "$WINE64" "$app/$program" < /dev/null) |
      sed 's/^/  /' || status=$?
  else
    (cd "$scratch" && "$app/$program" < /dev/null) | sed 's/^/  /' || status=$?
  fi
  echo "== exit status: $status"
  for _ in $(seq 50); do [ -f "$app/started.log" ] && break; sleep 0.1; done

  echo "== requests nginx served (the release date, the statement, the probe, then one range per part):"
  sed 's/^/  /' "$scratch/logs/access.log"
  echo "== after the update:"
  show_tree "$app" | grep -v '^  tmp/' || true
  echo "  tmp/rjsj.7z: $(stat -c %s "$app/tmp/rjsj.7z") bytes, $(cmp -s "$app/tmp/rjsj.7z" "$www/update/demo.7z" && echo "identical to the published package" || echo "DIFFERENT from the published package")"
  echo "== the update record now:"
  sed 's/^/  /; s/\r$//' "$app/升级/更新记录.ini"
  kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null || true
  trap - EXIT
  return "$status"
}

case "$what" in
  updater|windows) demo_updater_run ;;
  repairtool) demo_repairtool ;;
esac
