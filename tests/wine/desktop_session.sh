#!/bin/sh
# Runs inside xvfb-run: starts the captioned test window in Wine's desktop, finds it by
# its Chinese caption, measures it, keeps a screenshot and waits for it to close itself.
# Usage: desktop_session.sh <captioned_window.exe> <artifact folder>
set -eu
. "$(dirname "$0")/../support/window_session.sh"
out=$2
mkdir -p "$out"

start_program "$out/${shot_prefix}captioned-window.log" "$1" 500 150 8
find_window '窗口测试程序' "$out/${shot_prefix}captioned-window.log"
echo "window name: $(xdotool getwindowname "$win")"
window_facts "$win" '窗口测试程序'
import -window "$win" "$out/${shot_prefix}captioned-window.png"
# The button's Chinese label is drawn (x 200..299, y 100..119 of the client area, inside
# its face): split at blank columns, the four glyphs differ from one another. A font
# without them draws four identical boxes.
glyphs=$(convert "$out/${shot_prefix}captioned-window.png" -crop "100x20+$((origin_x + 200))+$((origin_y + 100))" +repage \
  -colorspace Gray -threshold 50% txt:- |
  awk -F'[,:]' 'NR > 1 && /#000000/ { dark[$1]++ }
    END {
      for (x = 0; x <= 100; x++) {
        if (dark[x] > 0) { shape = shape " " dark[x]; continue }
        if (shape != "") { n++; if (!(shape in seen)) { seen[shape] = 1; d++ } shape = "" }
      }
      print n + 0, d + 0
    }')
echo "button label: ${glyphs% *} pieces, ${glyphs#* } different"
move_window "$win" '窗口测试程序' 200 300
status=0
wait "$pid" || status=$?
echo "exit status: $status"
