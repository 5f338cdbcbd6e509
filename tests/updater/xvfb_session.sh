#!/bin/sh
# Runs inside xvfb-run: starts the updater with a real window, checks that the window can
# be found by its Chinese caption, keeps a screenshot once the start button has been
# pressed, then ends the updater (until the update check is there it waits).
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
# Past the start timer: the window is still there.
sleep 1.5
import -window root "$out/updater.png"
if kill -0 "$pid" 2>/dev/null; then echo "running after the start timer"; fi
kill "$pid"
wait "$pid" || true
