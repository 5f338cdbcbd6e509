#!/usr/bin/env bash
# Shows the main job. Usage: scripts/demo.sh [repairtool]
#   repairtool  the repair tool on a sample component set in a scratch folder
# Installs what is needed and builds first. With a display the programs open their real
# window; without one they print what they show as lines (console mode).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-repairtool}

"$top/scripts/deps.sh"
"$top/scripts/build.sh" normal

show_files() {  # folder, prefix to strip
  find "$1" -type f | sort | while IFS= read -r f; do
    printf '  %s: %s\n' "${f#"$2"/}" "$(head -c 60 "$f")"
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
  cp "$top/build/repairtool/repairtool" "$app/"

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

case "$what" in
  repairtool) demo_repairtool ;;
  *) echo "usage: $0 [repairtool]" >&2; exit 2 ;;
esac
