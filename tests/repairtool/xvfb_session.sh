#!/bin/sh
# Runs inside xvfb-run: starts the repair tool with a real window, checks that the
# window can be found by its Chinese caption, keeps screenshots, answers the final
# message box with Enter and reports the tool's exit status. A Windows tool runs in
# Wine's desktop (see window_session.sh).
# Usage: xvfb_session.sh <tool> <artifact folder>
set -eu
. "$(dirname "$0")/../support/window_session.sh"
tool=$1
out=$2
mkdir -p "$out"
export LANG=C.UTF-8

start_program "$out/${shot_prefix}repairtool-window.log" "$tool"

find_window 'mdac修复工具' "$out/${shot_prefix}repairtool-window.log"
echo "window name: $(xdotool getwindowname "$win")"
[ -n "${WINDOW_PROBE:-}" ] && window_facts "$win" 'mdac修复工具'
# Let the countdown reach the button once, so the shot shows a drawn window.
sleep 1.5
import -window root "$out/${shot_prefix}repairtool.png"

# The repair ends with the simple message box, captioned with the application title.
box=$(timeout 60 xdotool search --sync --onlyvisible --name '^repairtool$' | head -n 1)
echo "message box name: $(xdotool getwindowname "$box")"
sleep 0.3
import -window root "$out/${shot_prefix}repairtool-done.png"
if [ -n "${WINDOW_PROBE:-}" ]; then
  probe enter repairtool
else
  # The box closes on the key press, so sending the release fails: not an error here.
  xdotool key --window "$box" Return 2>/dev/null || true
fi

for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "still running after Enter on the message box"
  kill "$pid"
fi
status=0
wait "$pid" || status=$?
echo "exit status: $status"
