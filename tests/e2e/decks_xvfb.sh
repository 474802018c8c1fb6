#!/usr/bin/env bash
# The decks in the main window on a real X server: a fixture song cued into deck A, F2 pressed,
# three seconds of real time on the elapsed label and the position bar, F1 to stop; then both
# decks playing and the knob dragged to the right end, which silences deck A's output.
# Double clicks on "Auto DJ" and on a DJ Playlist load button act once.
# Usage: decks_xvfb.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_decks"
[ -x "$tests" ] || { echo "decks_xvfb: $tests not built" >&2; exit 1; }
out=$(xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='DecksXvfb.*' --gtest_brief=0 2>&1) || { echo "$out"; exit 1; }
echo "$out"
# All three tests ran rather than being skipped.
passed=$(grep -c '^\[       OK \] DecksXvfb\.' <<<"$out" || true)
[ "$passed" = 3 ] || { echo "decks_xvfb: $passed of 3 tests ran" >&2; exit 1; }
