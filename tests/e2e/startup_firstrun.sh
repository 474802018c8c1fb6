#!/usr/bin/env bash
# A new user's first start, on an empty program folder: the first-run notice and the update
# prompt, the silent device for both players, a music folder chosen in the folder chooser, and
# the main window. Then the program folder holds the settings and the folder list, and a second
# launch while the first runs is refused.
set -euo pipefail
quenlow=$1
media=$(cd "$2" && pwd)
. "$(dirname "$0")/lib/startup.sh"

e2e_xvfb 1280x1024
prog=$(e2e_program_folder "$quenlow")
music="$media/startup-music"
[ -d "$music" ] || e2e_fail "missing test media $music"

e2e_launch "$prog" "$E2E_TMP/first.log"
first=$E2E_PID

w=$(e2e_wait_window '^Quenlow$')
e2e_keys "$w" Return # first-run notice
w=$(e2e_wait_window '^Update Detected$')
e2e_keys "$w" Escape # "No"
e2e_pick_silent_devices

w=$(e2e_wait_window '^No Media Paths Found$')
e2e_keys "$w" Return
paths=$(e2e_wait_window '^Media Paths$')
e2e_click "$paths" 376 209 # "..."
chooser=$(e2e_wait_window '^Select a folder - Folders under one selected will be added also$')
xdotool windowfocus --sync "$chooser"
xdotool type --delay 15 "$music"
xdotool key Return
e2e_caught_up "$paths"
# The completion list may take the Return and only close: once more then.
e2e_gone '^Select a folder' || { xdotool key Return; e2e_caught_up "$paths"; }
e2e_wait_gone '^Select a folder'
# The chooser's completion list goes a moment after the chooser; until then it holds the pointer
# and a click on "Add" would only close it.
e2e_caught_up "$paths" --no-popup
e2e_click "$paths" 48 244   # "Add"
e2e_click "$paths" 126 286  # "Ok, I Think I Got It!"

e2e_wait_window '^Quenlow$' >/dev/null # the main window
kill -0 "$first" || e2e_fail "the program ended"
e2e_gone '^Doing Things\.\.\.$' || e2e_fail "the splash is still shown"

ini="$prog/config.ini"
expected=$(printf '[PROG]\r\nFIRSTRUN=DONE\r\n[UPDATES]\r\nNEWUPDATE=FALSE\r\n[SoundDevices]\r\nConfigure=False\r\n')
head -c ${#expected} "$ini" | cmp -s - <(printf '%s' "$expected") \
  || { cat -A "$ini" >&2; e2e_fail "config.ini does not start with the first-run keys in order"; }
devices=$(grep -c '^P[AB]DEVICE' "$ini")
[ "$devices" = 6 ] || e2e_fail "config.ini lacks the device keys"
grep -q $'^PADEVICESINK=\r$' "$ini" || e2e_fail "Player A's silent device is stored as a sound server's output"
grep -q $'^PADEVICENAME=No sound (silent)\r$' "$ini" || e2e_fail "Player A is not on the silent device"
grep -q $'^PBDEVICENAME=No sound (silent)\r$' "$ini" || e2e_fail "Player B is not on the silent device"
[ "$(cat "$prog/MediaList.qnl")" = "$(printf '"%s","Yes"\r' "$music")" ] \
  || { cat -A "$prog/MediaList.qnl" >&2; e2e_fail "MediaList.qnl does not hold the music folder"; }

# A second launch while the first runs: the notices are done, so the refusal comes first.
e2e_launch "$prog" "$E2E_TMP/second.log"
second=$E2E_PID
w=$(e2e_wait_window '^Exiting$')
e2e_keys "$w" Return
rc=0
wait "$second" || rc=$?
[ "$rc" != 0 ] || e2e_fail "the second instance did not end with a failure status"
kill -0 "$first" || e2e_fail "the first instance ended too"
e2e_gone '^Configure Your Sound Devices$' || e2e_fail "the second instance went on to the dialogs"
echo "PASS"
