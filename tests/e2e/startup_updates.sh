#!/usr/bin/env bash
# The update prompt answered "Yes": the update notes open, start-up waits until they are
# closed, then goes on to the sound device dialog; the prompt is not shown again.
set -euo pipefail
quenlow=$1
media=$(cd "$2" && pwd)
. "$(dirname "$0")/lib/startup.sh"

e2e_xvfb 1280x1024
prog=$(e2e_program_folder "$quenlow")
e2e_settled_folder "$prog" "$media"
printf '[PROG]\r\nFIRSTRUN=DONE\r\n[UPDATES]\r\nNEWUPDATE=TRUE\r\n' >"$prog/config.ini"

e2e_launch "$prog" "$E2E_TMP/run.log"
run=$E2E_PID
w=$(e2e_wait_window '^Update Detected$')
e2e_keys "$w" Return # "Yes", the default answer
notes=$(e2e_wait_window '^Updates$')
e2e_caught_up "$notes" # a start-up that went on would have its next dialog up by now
e2e_gone '^Configure Your Sound Devices$' || e2e_fail "start-up did not wait for the update notes"
e2e_click "$notes" 260 395 # "Ok I'm Done Looking"
w=$(e2e_wait_window '^Configure Your Sound Devices$')
grep -q $'^NEWUPDATE=FALSE\r$' "$prog/config.ini" || e2e_fail "NEWUPDATE was not set to FALSE"
e2e_click "$w" 400 261 # "Not Right Now Please"
rc=0
wait "$run" || rc=$?
[ "$rc" = 0 ] || e2e_fail "quitting ended with status $rc"

# The next start asks no more.
e2e_launch "$prog" "$E2E_TMP/again.log"
again=$E2E_PID
w=$(e2e_wait_window '^(Update Detected|Configure Your Sound Devices)$')
[ "$(xdotool getwindowname "$w")" = "Configure Your Sound Devices" ] || e2e_fail "the update prompt came again"
e2e_click "$w" 400 261
wait "$again" || true
echo "PASS"
