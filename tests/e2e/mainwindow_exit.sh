#!/usr/bin/env bash
# The Exit label of the real program: a click ends it in order, writing the list font to the
# settings and all four list files back, with what they held. Then the session ending (the
# program told to terminate) closes it the same way. Last, its X server dies while a deck plays:
# a song queued just before is in the DJ Playlist's file, and the folder is free for a new start.
set -euo pipefail
quenlow=$1
media=$(cd "$2" && pwd)
. "$(dirname "$0")/lib/startup.sh"

e2e_xvfb 1280x1024
prog=$(e2e_program_folder "$quenlow")
e2e_settled_folder "$prog" "$media"
row() { printf '"%s","%s","3:05","Dance","%s/%s"' "$1" "$2" "$media" "$3"; }
{ row "Full Song" "Some Artist" full.mp3; printf ',"SCANNED"\r\n'; } >"$prog/FullPlaylist.qnl"
{ row "Queued Song" "Other Artist" queued.mp3; printf '\r\n'; } >"$prog/DJPlaylist.qnl"
cp "$prog/FullPlaylist.qnl" "$E2E_TMP/full.before"
cp "$prog/DJPlaylist.qnl" "$E2E_TMP/dj.before"

# Starts the program from $prog through its dialogs to the main window; sets pid and main.
open_main() {
  e2e_launch "$prog" "$E2E_TMP/$1"
  pid=$E2E_PID
  e2e_through_notices
  e2e_pick_silent_devices
  main=$(e2e_wait_window '^Quenlow$')
}

open_main run.log

# The face is centred in the window; the Exit label stands in the middle column.
eval "$(xdotool getwindowgeometry --shell "$main")"
x=$(( (WIDTH - 1024) / 2 + 545 ))
y=$(( (HEIGHT - 741) / 2 + 93 ))
e2e_click "$main" "$x" "$y"

rc=0
for i in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && e2e_fail "the program did not end after Exit"
wait "$pid" || rc=$?
[ "$rc" = 0 ] || { cat "$E2E_TMP/run.log" >&2; e2e_fail "the program ended with status $rc"; }

grep -q $'^FontSize=8.25\r$' "$prog/config.ini" || { cat -A "$prog/config.ini" >&2; e2e_fail "no list font in config.ini"; }
cmp -s "$prog/FullPlaylist.qnl" "$E2E_TMP/full.before" || e2e_fail "FullPlaylist.qnl changed"
cmp -s "$prog/DJPlaylist.qnl" "$E2E_TMP/dj.before" || e2e_fail "DJPlaylist.qnl changed"
[ -f "$prog/MostPlayedPlaylist.qnl" ] || e2e_fail "MostPlayedPlaylist.qnl not written"
[ -f "$prog/SongBin.qnl" ] || e2e_fail "SongBin.qnl not written"
# Second run, ended by the session: the lists are written again.
rm -f "$prog/MostPlayedPlaylist.qnl" "$prog/SongBin.qnl"
open_main run2.log
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
[ "$rc" = 0 ] || { cat "$E2E_TMP/run2.log" >&2; e2e_fail "the program ended with status $rc on SIGTERM"; }
[ -f "$prog/MostPlayedPlaylist.qnl" ] || e2e_fail "MostPlayedPlaylist.qnl not written at the session's end"
[ -f "$prog/SongBin.qnl" ] || e2e_fail "SongBin.qnl not written at the session's end"
cmp -s "$prog/DJPlaylist.qnl" "$E2E_TMP/dj.before" || e2e_fail "DJPlaylist.qnl changed at the session's end"
# Third run, on an X server of its own that is killed while deck A plays a song: the program
# saves as Exit does before Qt ends it, without hanging on the dead display.
row "Played Song" "Some Artist" tone30s.mp3 >"$prog/FullPlaylist.qnl"
printf ',"SCANNED"\r\n' >>"$prog/FullPlaylist.qnl"
e2e_xvfb 1280x1024
xvfb=${E2E_PIDS[-1]}
open_main run3.log
# The keys start on the Full Playlist: its song queued (Enter), then loaded into deck A and played.
e2e_keys "$main" Down Return Num_Lock KP_1 F2
e2e_caught_up "$main"
kill -KILL "$xvfb"
wait "$xvfb" 2>/dev/null || true
for i in $(seq 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && e2e_fail "the program still runs 30 s after its display died"
wait "$pid" || true
grep -q '/tone30s.mp3"' "$prog/DJPlaylist.qnl" || { cat -A "$prog/DJPlaylist.qnl" >&2; e2e_fail "the song queued before the display died is not in DJPlaylist.qnl"; }
grep -q 'Queued Song' "$prog/DJPlaylist.qnl" || e2e_fail "DJPlaylist.qnl lost its first song"
grep -q 'display' "$prog/QNLERRORS.log" || e2e_fail "the error log does not tell of the lost display"
# The lock went with the program: a new start on a new server is not turned away.
e2e_xvfb 1280x1024
open_main run4.log
echo "PASS"
