#!/bin/sh
# Runs inside xvfb-run: starts the updater with a real window and, while it unpacks a
# package that is slow to decode, watches the fill of ProgressBar1 along a row through
# its middle. Keeps a screenshot taken mid-unpacking, moves the window, and looks for the
# fill to have grown at the new place before anything is installed. Then waits for the
# update to end: the installation closes the window. A Windows updater runs in Wine's
# desktop (see window_session.sh).
# Usage: xvfb_unpack_session.sh <updater> <artifact folder> <first installed file> <fill colour>
set -eu
. "$(dirname "$0")/../support/window_session.sh"
updater=$1
out=$2
app=$(dirname "$updater")
installed="$app/$3"
colour=$4
mkdir -p "$out"
export LANG=C.UTF-8

start_program "$out/${shot_prefix}updater-unpack-window.log" "$updater"

find_window '鼎川软件自动更新程序' "$out/${shot_prefix}updater-unpack-window.log"
echo "window name: $(xdotool getwindowname "$win")"
window_facts "$win" '鼎川软件自动更新程序' >/dev/null

# Fill pixels along row 56 of the bar (x 16..624 of the client area).
fill() {
  convert "$1" -crop "609x1+$((origin_x + 16))+$((origin_y + 56))" +repage txt:- | grep -c "$colour" || true
}

first=""
moved=""
sample="$out/${shot_prefix}sample.png"
for _ in $(seq 600); do
  kill -0 "$pid" 2>/dev/null || break
  [ -e "$installed" ] && break
  import -window "$win" "$sample" 2>/dev/null || { sleep 0.1; continue; }
  # The file may have been installed while the screenshot was taken.
  [ -e "$installed" ] && break
  n=$(fill "$sample")
  if [ "$n" -gt 0 ] && [ "$n" -lt 600 ]; then
    if [ -z "$first" ]; then
      first=$n
      cp "$sample" "$out/${shot_prefix}updater-unpack.png"
      echo "bar partly filled while unpacking"
      [ -n "$(move_window "$win" '鼎川软件自动更新程序' 200 300)" ] && moved=yes && echo "moved while unpacking"
    elif [ -n "$moved" ] && [ "$n" -gt "$first" ]; then
      cp "$sample" "$out/${shot_prefix}updater-unpack-later.png"
      echo "bar advanced after the move"
      break
    fi
  fi
  sleep 0.05
done
rm -f "$sample"
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
