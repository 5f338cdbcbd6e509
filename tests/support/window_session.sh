# Sourced by the window sessions that run inside xvfb-run: what differs between a Linux
# program (a bare X window, no window manager) and a Windows program under Wine (a
# window inside Wine's desktop, with the frame and title bar Windows draws).
# WINDOW_PROBE names window_probe.exe of a Windows build: the program is then a Windows
# program, started with $WINE64 in the desktop prefix WINEPREFIX.

# Screenshots of the Windows build are kept apart from the Linux ones.
shot_prefix=""
[ -n "${WINDOW_PROBE:-}" ] && shot_prefix="windows-"

# start_program <log> <program> [argument...]: sets pid.
start_program() {
  log=$1
  shift
  if [ -n "${WINDOW_PROBE:-}" ]; then
    # Programs it starts share its standard error, and when the session's display goes
    # before they end, Wine's X driver says so there: kept apart from what it prints.
    "$WINE64" "$@" > "$log" 2> "$log.stderr" &
  else
    "$@" > "$log" 2>&1 &
  fi
  pid=$!
}

# find_window <caption> <log>: sets win to the program's visible window. A program that
# draws no window prints "window: <caption>" on its console instead: then this says so at
# once (the expected lines fail on it) and ends the session, leaving the program to finish.
find_window() {
  for _ in $(seq 600); do
    win=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
    [ -n "$win" ] && return 0
    if grep -q "^window: " "$2" 2>/dev/null; then
      echo "no window, console lines instead"
      wait "$pid" || true
      exit 0
    fi
    sleep 0.1
  done
  echo "no window within 60 s"
  exit 1
}

probe() {
  "$WINE64" "$WINDOW_PROBE" "$@" | tr -d '\r'
}

# window_facts <X window> <caption>: prints "window size: WxH" (the client area) and,
# under Wine, "frame: title bar and borders" when the frame adds both. Sets origin_x and
# origin_y, where the client area starts in a screenshot of the window.
window_facts() {
  if [ -z "${WINDOW_PROBE:-}" ]; then
    eval "$(xdotool getwindowgeometry --shell "$1")"
    echo "window size: ${WIDTH}x${HEIGHT}"
    origin_x=0 origin_y=0
    return
  fi
  facts=$(probe find "$2" 30)
  client=$(echo "$facts" | sed -n 's/^client //p')
  frame=$(echo "$facts" | sed -n 's/^frame //p')
  origin=$(echo "$facts" | sed -n 's/^origin //p')
  echo "window size: $client"
  origin_x=${origin%,*} origin_y=${origin#*,}
  # X sees the whole frame; a title bar makes the top of it taller than the bottom.
  eval "$(xdotool getwindowgeometry --shell "$1")"
  bottom=$((HEIGHT - ${client#*x} - origin_y))
  if [ "${WIDTH}x${HEIGHT}" = "$frame" ] && [ "$origin_x" -gt 0 ] && [ "$bottom" -gt 0 ] &&
     [ "$origin_y" -gt $((bottom + 10)) ]; then
    echo "frame: title bar and borders"
  fi
}

# move_window <X window> <caption> <x> <y>: prints "moved" once the window is there.
# Under Wine the move goes through Windows, and returns only once the program's thread
# has handled it; X's idea of the place is no use there (a child of the desktop window).
move_window() {
  if [ -z "${WINDOW_PROBE:-}" ]; then
    xdotool windowmove --sync "$1" "$3" "$4" || true
    eval "$(xdotool getwindowgeometry --shell "$1")"
    [ "$X" -eq "$3" ] && [ "$Y" -eq "$4" ] && echo "moved"
  else
    [ "$(probe move "$2" "$3" "$4")" = "position $3,$4" ] && echo "moved"
  fi
  return 0
}
