#!/bin/sh
# Runs inside xvfb-run: starts the updater with a real window, finds the window by its
# Chinese caption, and once the download is under way keeps a screenshot of the window
# and counts the blue segments along a row through the segmented bar. Then waits for the
# update to end: the installation closes the window.
# Usage: xvfb_session.sh <updater> <artifact folder>
set -eu
updater=$1
out=$2
mkdir -p "$out"
export LANG=C.UTF-8

"$updater" > "$out/updater-window.log" 2>&1 &
pid=$!

win=$(timeout 60 xdotool search --sync --onlyvisible --name '鼎川软件自动更新程序' | head -n 1)
echo "window name: $(xdotool getwindowname "$win")"
eval "$(xdotool getwindowgeometry --shell "$win")"
echo "window size: ${WIDTH}x${HEIGHT}"
# The check starts a second after the window shows; the parts then arrive slowly.
sleep 3.5
import -window "$win" "$out/updater-download.png"
# The bar spans x 16..624 at y 36..72; count runs of pure blue along its middle row.
runs=$(convert "$out/updater-download.png" -crop 609x1+16+54 +repage txt:- |
  awk 'NR > 1 { blue = ($0 ~ /#0000FF/); if (blue && !prev) n++; prev = blue } END { print n + 0 }')
echo "blue segments: $runs"
if kill -0 "$pid" 2>/dev/null; then echo "running during the download"; fi
status=0
for _ in $(seq 600); do
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
