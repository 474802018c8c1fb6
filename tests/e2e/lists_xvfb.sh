#!/usr/bin/env bash
# The song lists on a real X server with real key presses from xdotool: a search typed, Down,
# Numpad 1 loading the hit into deck A; Enter moving a DJ Playlist row to the Song Bin.
# Usage: lists_xvfb.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_library"
[ -x "$tests" ] || { echo "lists_xvfb: $tests not built" >&2; exit 1; }
out=$(xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='ListsXvfb.*' --gtest_brief=0 2>&1) || { echo "$out"; exit 1; }
echo "$out"
# The test ran rather than being skipped.
passed=$(grep -c '^\[       OK \] ListsXvfb\.' <<<"$out" || true)
[ "$passed" = 1 ] || { echo "lists_xvfb: $passed of 1 tests ran" >&2; exit 1; }
