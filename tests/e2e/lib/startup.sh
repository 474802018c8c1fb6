# Helpers for end-to-end tests that drive the real program under Xvfb with xdotool.
# Source it from a test script; it never runs on its own.
#
#   e2e_xvfb 1280x1024            start a private X server, export DISPLAY
#   e2e_program_folder QUENLOW    a fresh program folder holding a copy of the program and its
#                                 test sound; prints its path
#   e2e_launch FOLDER [LOG]       start the program from FOLDER in the background; sets E2E_PID
#                                 (through the command in the array E2E_RUN_AS when it is set,
#                                 such as setpriv for another user)
#   e2e_wait_window REGEX [SECS]  the id of the first visible window whose title matches, once
#                                 the program has caught up with it
#   e2e_gone REGEX                true when no visible window has that title
#   e2e_wait_gone REGEX [SECS]    wait until no visible window has that title
#   e2e_caught_up WINDOW [--no-popup]  wait until the program owning WINDOW has handled every
#                                 X event sent to it so far (input, maps, focus); with
#                                 --no-popup also until it has no popup on the screen
#   e2e_keys WINDOW KEY...        focus the window and press the keys
#   e2e_click WINDOW X Y          left click at window coordinates (pixels)
#   e2e_through_notices           answer the first-run notice and the update prompt when shown
#   e2e_pick_silent_devices       the silent device for both players, then save
#   e2e_settled_folder FOLDER MEDIA  settings of a program that ran before, with one media folder
#
# Titles match case-sensitively (xdotool alone ignores case, and Qt names untitled popups after
# the program). Nothing here sleeps for a fixed time: each step waits for the program to catch up
# (tools/x11-caught-up; CTest gives its path in E2E_CAUGHT_UP).
#
# Every process started here is ended by e2e_cleanup (installed as an EXIT trap).

E2E_PIDS=()
E2E_LOGS=()

e2e_fail() {
  echo "FAIL: $*" >&2
  # What the program said often tells why.
  local log
  for log in "${E2E_LOGS[@]}"; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -20 "$log" >&2; }
  done
  # A picture of the screen helps to see what stood in the way.
  if [ -n "${DISPLAY:-}" ] && [ -n "${E2E_KEEP:-}" ]; then
    import -window root "$E2E_TMP/failed.png" 2>/dev/null && echo "screen: $E2E_TMP/failed.png" >&2
  fi
  exit 1
}

e2e_cleanup() {
  local p live
  # Only processes of this script that still run: the number of one that has ended may belong
  # to another program by now.
  live=" $(jobs -pr | tr '\n' ' ') "
  for p in "${E2E_PIDS[@]}"; do
    [[ "$live" == *" $p "* ]] && kill "$p" 2>/dev/null || true
  done
  for p in "${E2E_PIDS[@]}"; do
    [[ "$live" == *" $p "* ]] && wait "$p" 2>/dev/null || true
  done
  if [ -n "${E2E_TMP:-}" ]; then
    if [ -n "${E2E_KEEP:-}" ]; then echo "kept $E2E_TMP" >&2; else rm -rf "$E2E_TMP"; fi
  fi
}
trap e2e_cleanup EXIT

E2E_TMP=$(mktemp -d)

e2e_xvfb() {
  local size=${1:-1280x1024}
  # A fresh file for each server: the old one would be read before the new server empties it.
  local fdfile
  fdfile=$(mktemp "$E2E_TMP/display.XXXX")
  local log=$fdfile.log
  # -noreset: a server whose last client leaves (the answer check below, an xdotool call) resets
  # itself, and a program connecting just then was refused now and again on a busy machine.
  Xvfb -displayfd 3 -noreset -screen 0 "${size}x24" -nolisten tcp 3>"$fdfile" >"$log" 2>&1 &
  local xvfb=$!
  E2E_PIDS+=($xvfb)
  E2E_LOGS+=("$log")
  local i
  for i in $(seq 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  [ -s "$fdfile" ] || e2e_fail "Xvfb did not start"
  export DISPLAY=":$(head -1 "$fdfile")"
  unset WAYLAND_DISPLAY
  export QT_QPA_PLATFORM=xcb
  # Our server, answering, before any program is pointed at it.
  for i in $(seq 100); do
    kill -0 "$xvfb" 2>/dev/null || e2e_fail "Xvfb on $DISPLAY ended"
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  e2e_fail "Xvfb on $DISPLAY does not answer"
}

e2e_program_folder() {
  local quenlow=$1
  local folder
  folder=$(mktemp -d "$E2E_TMP/prog.XXXX")
  cp "$quenlow" "$folder/quenlow" || e2e_fail "cannot copy $quenlow"
  cp "$(dirname "$quenlow")/testdevice.wav" "$folder/" 2>/dev/null || true
  echo "$folder"
}

e2e_launch() {
  local folder=$1 log=${2:-/dev/null}
  # These tests judge what the program does; leaks are the unit tests' business, and a leak
  # report at exit would blur the exit status the tests look at.
  (cd "$E2E_TMP" && ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" exec ${E2E_RUN_AS[@]+"${E2E_RUN_AS[@]}"} "$folder/quenlow" >"$log" 2>&1) &
  E2E_PID=$!
  E2E_PIDS+=($E2E_PID)
  [ "$log" = /dev/null ] || E2E_LOGS+=("$log")
}

# The visible windows whose title matches REGEX, case and all.
e2e_find() {
  local regex=$1 w
  # xdotool fails while no window matches: that is the waiting, not an error of the script.
  for w in $(xdotool search --onlyvisible --name "$regex" 2>/dev/null || true); do
    [[ "$(xdotool getwindowname "$w" 2>/dev/null)" =~ $regex ]] && echo "$w"
  done
  return 0
}

e2e_caught_up() {
  "${E2E_CAUGHT_UP:?names the x11-caught-up tool}" ${2:-} "$1" 30 \
    || e2e_fail "the program did not catch up with its window $1"
}

e2e_wait_window() {
  local regex=$1 secs=${2:-60} w
  local end=$((SECONDS + secs))
  while [ "$SECONDS" -lt "$end" ]; do
    w=$(e2e_find "$regex" | head -1)
    # Shown, and still shown once the program has caught up: a window may go again at once.
    if [ -n "$w" ] && "${E2E_CAUGHT_UP:?names the x11-caught-up tool}" "$w" $((end - SECONDS + 1)) 2>/dev/null \
      && e2e_find "$regex" | grep -qx "$w"; then
      echo "$w"
      return 0
    fi
    sleep 0.1
  done
  echo "visible windows:" >&2
  xdotool search --onlyvisible --name . 2>/dev/null | while read -r w; do xdotool getwindowname "$w" >&2; done
  e2e_fail "no window titled /$regex/ within ${secs}s"
}

e2e_gone() {
  [ -z "$(e2e_find "$1")" ]
}

e2e_wait_gone() {
  local regex=$1 secs=${2:-10} i
  for i in $(seq $((secs * 10))); do
    e2e_gone "$regex" && return 0
    sleep 0.1
  done
  e2e_fail "the window titled /$regex/ did not close within ${secs}s"
}

e2e_keys() {
  local w=$1
  shift
  xdotool windowfocus --sync "$w"
  xdotool key --delay 60 "$@"
}

# The click reaches the program before the script goes on (the click may end it, too).
e2e_click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
  local rc=0
  "$E2E_CAUGHT_UP" "$1" 30 || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 3 ] || e2e_fail "the program did not catch up with the click"
}

# The first-run notice (titled with the program's name) and the update prompt, answered "No".
e2e_through_notices() {
  local w
  w=$(e2e_wait_window '^(Quenlow|Update Detected|Configure Your Sound Devices)$')
  if [ "$(xdotool getwindowname "$w")" = "Quenlow" ]; then
    e2e_keys "$w" Return
    w=$(e2e_wait_window '^(Update Detected|Configure Your Sound Devices)$')
  fi
  if [ "$(xdotool getwindowname "$w")" = "Update Detected" ]; then
    e2e_keys "$w" Escape
  fi
}

# In the sound device dialog: the last device of each list (the silent one), then save.
# Positions are those of the dialog's layout, in pixels.
e2e_pick_silent_devices() {
  local w
  w=$(e2e_wait_window '^Configure Your Sound Devices$')
  e2e_keys "$w" End space Tab End space
  e2e_click "$w" 235 261 # "Ok, I Think I Got It!"
  e2e_wait_gone '^Configure Your Sound Devices$'
}

e2e_settled_folder() {
  local folder=$1 media=$2
  printf '[PROG]\r\nFIRSTRUN=DONE\r\n[UPDATES]\r\nNEWUPDATE=FALSE\r\n' >"$folder/config.ini"
  printf '"%s","Yes"\r\n' "$media" >"$folder/MediaList.qnl"
}
