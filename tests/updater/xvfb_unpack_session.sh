#!/bin/sh
# Runs inside xvfb-run: starts the updater with a real window and, while it unpacks a
# package that is slow to decode, watches the green fill of ProgressBar1 along a row
# through its middle. Keeps a screenshot taken mid-unpacking, moves the window, and
# looks for the fill to have grown at the new place before anything is installed. Then
# waits for the update to end: the installation closes the window.
# Usage: xvfb_unpack_session.sh <updater> <artifact folder>
set -eu
updater=$1
out=$2
app=$(dirname "$updater")
mkdir -p "$out"
export LANG=C.UTF-8

"$updater" > "$out/updater-unpack-window.log" 2>&1 &
pid=$!

win=$(timeout 60 xdotool search --sync --onlyvisible --name '鼎川软件自动更新程序' | head -n 1)
echo "window name: $(xdotool getwindowname "$win")"

# Green pixels along row 56 of the bar (x 16..624); the bar's fill is rgb(6,176,37).
fill() {
  convert "$1" -crop 609x1+16+56 +repage txt:- | grep -c '#06B025' || true
}

first=""
moved=""
for _ in $(seq 600); do
  kill -0 "$pid" 2>/dev/null || break
  [ -e "$app/app.sh" ] && break
  import -window "$win" "$out/sample.png" 2>/dev/null || { sleep 0.1; continue; }
  # The file may have been installed while the screenshot was taken.
  [ -e "$app/app.sh" ] && break
  n=$(fill "$out/sample.png")
  if [ "$n" -gt 0 ] && [ "$n" -lt 600 ]; then
    if [ -z "$first" ]; then
      first=$n
      cp "$out/sample.png" "$out/updater-unpack.png"
      echo "bar partly filled while unpacking"
      xdotool windowmove --sync "$win" 200 300 || true
      eval "$(xdotool getwindowgeometry --shell "$win")"
      [ "$X" -eq 200 ] && [ "$Y" -eq 300 ] && moved=yes && echo "moved while unpacking"
    elif [ -n "$moved" ] && [ "$n" -gt "$first" ]; then
      cp "$out/sample.png" "$out/updater-unpack-later.png"
      echo "bar advanced after the move"
      break
    fi
  fi
  sleep 0.05
done
rm -f "$out/sample.png"
status=0
for _ in $(seq 1200); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid"
  wait "$pid" || true
else
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] && echo "closed after the update"
fi
