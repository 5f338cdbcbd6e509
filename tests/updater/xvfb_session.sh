#!/bin/sh
# Runs inside xvfb-run: starts the updater with a real window, finds the window by its
# Chinese caption, and once the download is under way keeps a screenshot of the window
# and counts the blue segments along a row through the segmented bar. Then waits for the
# update to end: the installation closes the window. A Windows updater runs in Wine's
# desktop (see window_session.sh).
# Usage: xvfb_session.sh <updater> <artifact folder>
set -eu
. "$(dirname "$0")/../support/window_session.sh"
updater=$1
out=$2
mkdir -p "$out"
export LANG=C.UTF-8

start_program "$out/${shot_prefix}updater-window.log" "$updater"

find_window '鼎川软件自动更新程序' "$out/${shot_prefix}updater-window.log"
echo "window name: $(xdotool getwindowname "$win")"
window_facts "$win" '鼎川软件自动更新程序'
# The check starts a second after the window shows; the parts then arrive slowly.
sleep 3.5
shot="$out/${shot_prefix}updater-download.png"
import -window "$win" "$shot"
# The bar spans x 16..624 at y 36..72 of the client area; count runs of pure blue along
# its middle row.
runs=$(convert "$shot" -crop "609x1+$((origin_x + 16))+$((origin_y + 54))" +repage txt:- |
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
