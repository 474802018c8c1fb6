#!/usr/bin/env bash
# The Exit label of the real program: a click ends it in order, writing the list font to the
# settings and all four list files back, with what they held. Then the session ending (the
# program told to terminate) closes it the same way. Then its X server dies while a deck plays:
# a song queued just before is in the DJ Playlist's file, and the folder is free for a new start.
# Last, the session ends while start-up still has a box open (another program holds Ctrl+Left, so
# the main window's load says "Failed to install Keyboard Hook"; the sound device dialog; a list
# file too large to load): SIGTERM, SIGHUP or the X server gone, the program is gone within 5 s,
# with the status of a session end after start-up, and every list file is as it was.
# Then, run by a user who is not root, in a folder made read-only under it: Exit names the lists
# not saved in one box (not the log's, which would say it plays on) and the program ends with
# status 1; a session end logs them and ends with status 1; every file stays as it was.
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

# The session ending during start-up. Every list file holds a song, and is kept to compare.
row "Kept Song" "Some Artist" tone30s.mp3 >"$prog/FullPlaylist.qnl"
printf ',"SCANNED"\r\n' >>"$prog/FullPlaylist.qnl"
for f in MostPlayedPlaylist DJPlaylist SongBin; do
  { row "$f Song" "Some Artist" "$f.mp3"; printf '\r\n'; } >"$prog/$f.qnl"
done
keep_lists() { rm -rf "$E2E_TMP/lists"; mkdir "$E2E_TMP/lists"; cp --sparse=always "$prog"/*.qnl "$E2E_TMP/lists/"; }
same_lists() {
  local f
  for f in "$E2E_TMP"/lists/*.qnl; do
    cmp -s "$f" "$prog/$(basename "$f")" || e2e_fail "$1: $(basename "$f") changed"
  done
  # Nor a file half-written beside them (a file is written under a name of its own first).
  f=$(ls "$prog" | grep -E '\.(qnl|ini)\.[A-Za-z0-9]{6}$' || true)
  [ -z "$f" ] || e2e_fail "$1: left half-written: $f"
}
# Another program holds Ctrl+Left on the current X server.
hold_ctrl_left() {
  "${E2E_HOLD_KEY:?names the x11-hold-key tool}" Left >"$E2E_TMP/hold.out" 2>&1 &
  E2E_PIDS+=($!)
  for i in $(seq 100); do
    grep -q held "$E2E_TMP/hold.out" && return 0
    sleep 0.1
  done
  e2e_fail "no other program could hold Ctrl+Left"
}
# Starts the program and waits for the box the load shows about the keyboard hook: the only
# window titled with the program's name while the load runs, and a small one.
open_to_hook_box() {
  e2e_launch "$prog" "$E2E_TMP/$1"
  pid=$E2E_PID
  e2e_pick_silent_devices
  box=$(e2e_wait_window '^Quenlow$')
  eval "$(xdotool getwindowgeometry --shell "$box")"
  [ "$WIDTH" -lt 800 ] || e2e_fail "$1: the main window opened instead of the keyboard hook's box"
}
# The program ends within 5 s of the session's end, with a status the pattern matches.
ends_with() {
  local want=$1 what=$2 rc=0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && e2e_fail "$what: the program still runs 5 s after the session ended"
  wait "$pid" || rc=$?
  [[ "$rc" =~ ^($want)$ ]] || e2e_fail "$what: the program ended with status $rc, not $want"
}

e2e_xvfb 1280x1024
hold_ctrl_left
for sig in TERM HUP; do
  keep_lists
  open_to_hook_box "hook-$sig.log"
  kill -"$sig" "$pid"
  ends_with 0 "SIG$sig at the keyboard hook's box"
  same_lists "SIG$sig at the keyboard hook's box"
done

# The sound device dialog, which every start shows: a session end there too ends the program
# as a session end does, not by the signal.
keep_lists
e2e_launch "$prog" "$E2E_TMP/devices.log"
pid=$E2E_PID
e2e_wait_window '^Configure Your Sound Devices$' >/dev/null
kill -TERM "$pid"
ends_with 0 "SIGTERM at the sound device dialog"
same_lists "SIGTERM at the sound device dialog"

# A list file too large to load (sparse: it takes no disk) is refused with a box while the load
# has read the Full Playlist already; the session ends while that box is open.
truncate -s 300M "$prog/MostPlayedPlaylist.qnl"
keep_lists
e2e_launch "$prog" "$E2E_TMP/toolarge.log"
pid=$E2E_PID
e2e_pick_silent_devices
w=$(e2e_wait_window '^Quenlow$') # the keyboard hook's box comes first
e2e_keys "$w" Return
e2e_wait_window '^List File$' >/dev/null
kill -HUP "$pid"
ends_with 0 "SIGHUP at the List File box"
same_lists "SIGHUP at the List File box"
{ row "MostPlayedPlaylist Song" "Some Artist" "MostPlayedPlaylist.mp3"; printf '\r\n'; } >"$prog/MostPlayedPlaylist.qnl"

# The X server dies while the keyboard hook's box is open: the status of a display lost after
# start-up (1 when Qt ends the program itself, 0 when the program saw it first), the lists as
# they were, and the log says why.
keep_lists
e2e_xvfb 1280x1024
xvfb=${E2E_PIDS[-1]}
hold_ctrl_left
open_to_hook_box hook-lost.log
kill -KILL "$xvfb"
wait "$xvfb" 2>/dev/null || true
ends_with '0|1' "the display lost at the keyboard hook's box"
same_lists "the display lost at the keyboard hook's box"
grep -q 'lost during start-up' "$prog/QNLERRORS.log" || e2e_fail "the error log does not tell of the display lost during start-up"

# A folder the program cannot write at the close. Root writes anywhere, so the program runs as
# nobody, in a folder of its own that is made read-only once the main window is up; a song is
# queued first, so there is a change to lose.
e2e_xvfb 1280x1024
chmod a+x "$E2E_TMP"
E2E_RUN_AS=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
ro=$(e2e_program_folder "$quenlow")
e2e_settled_folder "$ro" "$media"
{ row "Full Song" "Some Artist" tone30s.mp3; printf ',"SCANNED"\r\n'; } >"$ro/FullPlaylist.qnl"
{ row "Queued Song" "Other Artist" queued.mp3; printf '\r\n'; } >"$ro/DJPlaylist.qnl"
chown -R nobody:nogroup "$ro"
for how in Exit TERM; do
  chmod u+w "$ro"
  rm -f "$ro/QNLERRORS.log"
  e2e_launch "$ro" "$E2E_TMP/ro-$how.log"
  pid=$E2E_PID
  e2e_pick_silent_devices
  main=$(e2e_wait_window '^Quenlow$')
  e2e_keys "$main" Down Return
  e2e_caught_up "$main"
  rm -rf "$E2E_TMP/ro-files"
  mkdir "$E2E_TMP/ro-files"
  cp "$ro"/*.qnl "$ro/config.ini" "$E2E_TMP/ro-files/"
  # At the session's end the log can still be written (the file is there), at Exit not even that.
  [ "$how" = Exit ] || { : >"$ro/QNLERRORS.log"; chown nobody:nogroup "$ro/QNLERRORS.log"; }
  chmod a-w "$ro"
  if [ "$how" = Exit ]; then
    eval "$(xdotool getwindowgeometry --shell "$main")"
    e2e_click "$main" $(( (WIDTH - 1024) / 2 + 545 )) $(( (HEIGHT - 741) / 2 + 93 ))
    box=$(e2e_wait_window '^(Lists Not Saved|Error!)$')
    [ "$(xdotool getwindowname "$box")" = "Lists Not Saved" ] || e2e_fail "Exit in a read-only folder showed the log's box"
    e2e_keys "$box" Return
    ends_with 1 "Exit in a read-only folder"
    grep -q 'Funtion=SaveDJPlaylist' "$E2E_TMP/ro-$how.log" || e2e_fail "with no log, the failures are not on the standard error"
  else
    kill -TERM "$pid"
    ends_with 1 "SIGTERM in a read-only folder"
    grep -q "session ended and these song lists could not be saved in $ro: .*DJ Playlist (DJPlaylist.qnl): Permission denied" \
      "$ro/QNLERRORS.log" || { cat "$ro/QNLERRORS.log" >&2; e2e_fail "the log does not name the lists not saved at the session's end"; }
  fi
  for f in "$E2E_TMP"/ro-files/*; do
    cmp -s "$f" "$ro/$(basename "$f")" || e2e_fail "$how in a read-only folder: $(basename "$f") changed"
  done
done
unset E2E_RUN_AS
chmod u+w "$ro"

# The lock went with the program: a new start on a new server is not turned away.
e2e_xvfb 1280x1024
open_main run4.log
echo "PASS"
