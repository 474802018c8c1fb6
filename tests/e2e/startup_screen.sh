#!/usr/bin/env bash
# The screen check on real X servers: 800x600 ends the program with its message before any
# dialog; 1024x600 is enough and reaches the sound device dialog, whose quit label ends it.
set -euo pipefail
quenlow=$1
media=$(cd "$2" && pwd)
. "$(dirname "$0")/lib/startup.sh"

e2e_xvfb 800x600
prog=$(e2e_program_folder "$quenlow")
e2e_settled_folder "$prog" "$media"
e2e_launch "$prog" "$E2E_TMP/small.log"
small=$E2E_PID
w=$(e2e_wait_window '^Screen Resolution$')
e2e_keys "$w" Return
rc=0
wait "$small" || rc=$?
[ "$rc" != 0 ] || e2e_fail "a small screen did not end the program with a failure status"
grep -q SoundDevices "$prog/config.ini" && e2e_fail "the sound dialog ran on a small screen"

kill "${E2E_PIDS[0]}"
wait "${E2E_PIDS[0]}" 2>/dev/null || true
E2E_PIDS=()
e2e_xvfb 1024x600
e2e_launch "$prog" "$E2E_TMP/wide.log"
wide=$E2E_PID
w=$(e2e_wait_window '^Configure Your Sound Devices$')
e2e_click "$w" 400 261 # "Not Right Now Please"
rc=0
wait "$wide" || rc=$?
[ "$rc" = 0 ] || e2e_fail "quitting the sound dialog ended with status $rc"
echo "PASS"
