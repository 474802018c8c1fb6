#!/usr/bin/env bash
# The popup menus and the Requests list in the main window on a real X server, with the real mouse
# and keyboard (xdotool): a right-click on the Full Playlist, "Auto Edit MP3" and the suggestion
# whose caption reads title "Night Song" and artist "Blue Band" give the row of
# "Blue Band - Night Song.mp3" those texts, as id3tool reads them from the file; a request added
# by tests/tools/request-writer.sh appears in the Requests list, Numpad 1 loads it into deck A
# while its record stays, and the take button Picture10 takes a request whose record leaves the
# database only once the deck holds the song.
# Usage: menus_xvfb.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_menus"
[ -x "$tests" ] || { echo "menus_xvfb: $tests not built" >&2; exit 1; }
out=$(xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='MenusXvfb.*' --gtest_brief=0 2>&1) || { echo "$out"; exit 1; }
echo "$out"
# Both tests ran rather than being skipped.
passed=$(grep -c '^\[       OK \] MenusXvfb\.' <<<"$out" || true)
[ "$passed" = 2 ] || { echo "menus_xvfb: $passed of 2 tests ran" >&2; exit 1; }
