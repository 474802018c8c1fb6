#!/usr/bin/env bash
# The tag editor in the main window on a real X server: deck A's "Edit" label clicked, a new title
# typed and Enter pressed by xdotool; the deck, every list holding the file and id3tool show it.
# Leaves a picture of the open editor in the build folder (editor.png).
# Usage: tageditor_xvfb.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_shell"
[ -x "$tests" ] || { echo "tageditor_xvfb: $tests not built" >&2; exit 1; }
rm -f "$build/editor.png"
out=$(xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='TagEditorXvfb.*' --gtest_brief=0 2>&1) || { echo "$out"; exit 1; }
echo "$out"
# The test ran rather than being skipped, and the picture is there.
grep -q '^\[       OK \] TagEditorXvfb\.' <<<"$out" || { echo "tageditor_xvfb: the test did not run" >&2; exit 1; }
size=$(identify -format '%w %h' "$build/editor.png")
echo "screenshot: $build/editor.png ($size)"
