#!/usr/bin/env bash
# The whole program at rest, as a DJ leaves it between two sets: the real program (release
# build) on a private X server, both players on a real sound device (the "pulse" device of a
# private PulseAudio daemon with a null sink), a song loaded on each deck, played and paused.
# Then SECONDS of nothing: the processor time and the wakeups (voluntary context switches) of
# every thread of the program, per thread and in all.
#
# Usage: bench/idle_program.sh [QUENLOW [MEDIA [SECONDS]]]
#   QUENLOW  the program (default build/release/src/quenlow; scripts/build release makes it)
#   MEDIA    the test media (default build/release/media; tests/fixtures/make-media makes it)
#   SECONDS  how long to measure (default 20)
# With IDLE_KEEP=1 the temporary folder (program folder, logs, screenshots) is kept.
#
# The goal for the whole program at rest: at most 0.5% of a core and 200 wakeups a second.
# The figures also go to bench-results/idle_program.txt in the program's build folder when
# that folder exists (scripts/bench makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlow=$(realpath "${1:-$root/build/release/src/quenlow}")
media=$(realpath "${2:-$root/build/release/media}")
secs=${3:-20}
[ -x "$quenlow" ] || { echo "idle_program: no program at $quenlow (scripts/build release)" >&2; exit 1; }
[ -f "$media/tone30s.mp3" ] || { echo "idle_program: no test media in $media (tests/fixtures/make-media)" >&2; exit 1; }
export E2E_CAUGHT_UP=${E2E_CAUGHT_UP:-$(dirname "$quenlow")/../tests/x11-caught-up}
[ -x "$E2E_CAUGHT_UP" ] || { echo "idle_program: $E2E_CAUGHT_UP is not built" >&2; exit 1; }
for tool in pulseaudio Xvfb xdotool xdpyinfo; do
  command -v "$tool" >/dev/null || { echo "idle_program: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
results=$(dirname "$quenlow")/../bench-results
if [ -d "$results" ]; then results=$(realpath "$results")/idle_program.txt; else results=; fi
E2E_KEEP=${IDLE_KEEP:-}
# shellcheck source=../tests/e2e/lib/startup.sh
. "$root/tests/e2e/lib/startup.sh"

# --- a PulseAudio daemon of our own: user mode, one null sink, its own runtime folder --------
pulse_dir="$E2E_TMP/pulse"
mkdir -p "$pulse_dir/run" "$pulse_dir/home"
chmod 700 "$pulse_dir/run"
printf 'autospawn = no\n' >"$pulse_dir/client.conf"
socket="$pulse_dir/run/native"
(
  export XDG_RUNTIME_DIR="$pulse_dir/run" HOME="$pulse_dir/home" PULSE_CLIENTCONFIG="$pulse_dir/client.conf"
  unset DBUS_SESSION_BUS_ADDRESS PULSE_SERVER
  exec pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --log-target=stderr \
    -L "module-null-sink sink_name=quenlow_idle" \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$socket" >"$pulse_dir/daemon.log" 2>&1
) &
E2E_PIDS+=($!)
E2E_LOGS+=("$pulse_dir/daemon.log")
for _ in $(seq 100); do
  [ -S "$socket" ] && break
  sleep 0.1
done
[ -S "$socket" ] || e2e_fail "the PulseAudio daemon did not start"
export PULSE_SERVER="unix:$socket" PULSE_CLIENTCONFIG="$pulse_dir/client.conf"

# --- a program folder that ran before: one media folder, two songs in the Full Playlist -----
e2e_xvfb 1280x1024
prog=$(e2e_program_folder "$quenlow")
songs="$E2E_TMP/songs"
mkdir -p "$songs"
# Songs under a minute are counted into Most Played on their first playing tick: the list
# written at exit shows that both decks really played.
cp "$media/tone30s.mp3" "$songs/first.mp3"
cp "$media/tone30s.mp3" "$songs/second.mp3"
e2e_settled_folder "$prog" "$songs"
{
  printf '"First Song","Idle Test","0:30","Pop","%s/first.mp3","SCANNED"\r\n' "$songs"
  printf '"Second Song","Idle Test","0:30","Pop","%s/second.mp3","SCANNED"\r\n' "$songs"
} >"$prog/FullPlaylist.qnl"

e2e_launch "$prog" "$E2E_TMP/run.log"
pid=$E2E_PID
e2e_through_notices

# The sound device dialog: "pulse" for both players, found by typing its name in each list.
w=$(e2e_wait_window '^Configure Your Sound Devices$')
e2e_keys "$w" Home p u l s e Tab p u l s e
e2e_caught_up "$w"
import -window "$w" "$E2E_TMP/devices.png" 2>/dev/null || true
e2e_click "$w" 235 261 # "Ok, I Think I Got It!"
e2e_wait_gone '^Configure Your Sound Devices$'
grep -q $'^PADEVICENAME=pulse\r$' "$prog/config.ini" || { cat -A "$prog/config.ini" >&2; e2e_fail "Player A is not on the pulse device"; }
grep -q $'^PBDEVICENAME=pulse\r$' "$prog/config.ini" || { cat -A "$prog/config.ini" >&2; e2e_fail "Player B is not on the pulse device"; }

main=$(e2e_wait_window '^Quenlow$')

# --- a song on each deck, played and paused, all by keys as a DJ does -----------------------
# The Full Playlist has the keys when the window opens; with Num Lock on, Numpad 1 and 3 load
# the selected row into player A and B. F2 and F6 play, and pause when pressed again.
e2e_keys "$main" Num_Lock Home KP_1 Down KP_3
e2e_caught_up "$main"
e2e_keys "$main" F2 F6
e2e_caught_up "$main"
sleep 1
e2e_keys "$main" F2 F6
e2e_caught_up "$main"
# What settles after a pause settles first: the last sound played out, the last paints, and the
# window's timers, which rest three seconds after the last change they can see.
sleep 5
import -window root "$E2E_TMP/paused.png" 2>/dev/null || true

# --- the measurement ------------------------------------------------------------------------
# One line per thread: id, CPU nanoseconds (schedstat), voluntary and involuntary context
# switches, name. A voluntary switch is the thread going to sleep, so each is one wakeup.
snapshot() {
  local t tid name run vol invol
  for t in /proc/"$pid"/task/*; do
    tid=${t##*/}
    { read -r name <"$t/comm" && read -r run _ <"$t/schedstat" \
        && vol=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status") \
        && invol=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$t/status"); } 2>/dev/null || continue
    printf '%s %s %s %s %s\n' "$tid" "$run" "$vol" "$invol" "$name"
  done
}
kill -0 "$pid" 2>/dev/null || e2e_fail "the program ended"
snapshot >"$E2E_TMP/before"
start=$(date +%s%N)
sleep "$secs"
snapshot >"$E2E_TMP/after"
end=$(date +%s%N)
kill -0 "$pid" 2>/dev/null || e2e_fail "the program ended while measured"

report=$(awk -v span_ns=$((end - start)) '
  NR == FNR { run[$1] = $2; vol[$1] = $3; inv[$1] = $4; next }
  {
    tid = $1; name = $5; for (i = 6; i <= NF; i++) name = name " " $i
    s = span_ns / 1e9
    dr = $2 - run[tid]; dv = $3 - vol[tid]; di = $4 - inv[tid]
    if (!(tid in run)) note = " (started while measured)"; else note = ""
    lines[++n] = sprintf("%-16s %8s %8.3f%% %9.1f %9.1f%s", name, tid, 100 * dr / span_ns, dv / s, di / s, note)
    key[n] = dv / s
    tr += dr; tv += dv; ti += di
  }
  END {
    # the busiest first
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
      if (key[j] > key[i]) { t = key[i]; key[i] = key[j]; key[j] = t; t = lines[i]; lines[i] = lines[j]; lines[j] = t }
    printf "%-16s %8s %9s %9s %9s\n", "thread", "id", "CPU/core", "wakeups/s", "preempt/s"
    for (i = 1; i <= n; i++) print lines[i]
    printf "%-16s %8s %8.3f%% %9.1f %9.1f\n", "all " n " threads", "", 100 * tr / span_ns, tv / (span_ns / 1e9), ti / (span_ns / 1e9)
  }' "$E2E_TMP/before" "$E2E_TMP/after")
gone=$(awk 'NR == FNR { seen[$1] = 1; next } !($1 in seen) { print $5 " " $1 }' "$E2E_TMP/after" "$E2E_TMP/before")

# --- the end: Exit, and the lists it writes say that both decks played -----------------------
eval "$(xdotool getwindowgeometry --shell "$main")"
e2e_click "$main" $(( (WIDTH - 1024) / 2 + 545 )) $(( (HEIGHT - 741) / 2 + 93 ))
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && e2e_fail "the program did not end after Exit"
played=$(grep -c 'Idle Test' "$prog/MostPlayedPlaylist.qnl" 2>/dev/null || true)
[ "$played" = 2 ] || e2e_fail "both decks should have played a song; Most Played holds $played"

{
  echo "The whole program at rest: two songs loaded and paused, both players on PulseAudio (null sink), ${secs} s"
  echo "$report"
  [ -z "$gone" ] || echo "threads that ended while measured (not counted): $gone"
  echo "goal: at most 0.5% of a core and 200 wakeups/s in all"
} | tee ${results:+"$results"}
