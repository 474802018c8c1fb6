#!/usr/bin/env bash
# Auto-DJ in real time: the main window on an X server with both decks on the silent device,
# five 30-second songs queued, the default 15-second crossfade; both engines' output levels are
# sampled every 10 ms and at no moment between the first start and the last song are both silent.
# Usage: autodj_realtime.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_decks"
[ -x "$tests" ] || { echo "autodj_realtime: $tests not built" >&2; exit 1; }
xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='Unattended.AutoDJRealTime' --gtest_brief=0 >"$build/autodj_realtime.log" 2>&1 \
  || { cat "$build/autodj_realtime.log" >&2; exit 1; }
grep -q '\[  PASSED  \] 1 test' "$build/autodj_realtime.log" || { cat "$build/autodj_realtime.log" >&2; exit 1; }
grep 'real-time run' "$build/autodj_realtime.log"
