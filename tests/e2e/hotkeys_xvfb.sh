#!/usr/bin/env bash
# The system-wide hotkeys on a real X server: another X client holds the keyboard focus while
# xdotool presses Ctrl+Right (also with Shift, Alt or Super held), Ctrl+Left (with Num Lock on),
# Ctrl+Down and Ctrl+E; the main window's crossfader moves, and the focused client gets only the
# keys the hook passes on; a desktop's own Ctrl+Alt+Left stays with it. Also the clean failure
# when another program already holds one of the keys.
# Usage: hotkeys_xvfb.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_shell"
[ -x "$tests" ] || { echo "hotkeys_xvfb: $tests not built" >&2; exit 1; }
out=$(xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='HotkeysXvfb.*' --gtest_brief=0 2>&1) || { echo "$out"; exit 1; }
echo "$out"
# Every test ran rather than being skipped.
passed=$(grep -c '^\[       OK \] HotkeysXvfb\.' <<<"$out" || true)
[ "$passed" = 3 ] || { echo "hotkeys_xvfb: $passed of 3 tests ran" >&2; exit 1; }
