#!/usr/bin/env bash
# The main window on a real X server: a screenshot (build folder, mainwindow.png), dragging in
# stand-by mode and real key presses, all driven by xdotool.
# Usage: mainwindow_xvfb.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_shell"
[ -x "$tests" ] || { echo "mainwindow_xvfb: $tests not built" >&2; exit 1; }
rm -f "$build/mainwindow.png"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='XvfbTest.*' --gtest_brief=0
# The picture exists and is at least 1024 x 768.
size=$(identify -format '%w %h' "$build/mainwindow.png")
read -r wd ht <<<"$size"
[ "$wd" -ge 1024 ] && [ "$ht" -ge 768 ] || { echo "mainwindow_xvfb: screenshot is $size" >&2; exit 1; }
echo "screenshot: $build/mainwindow.png ($size)"
