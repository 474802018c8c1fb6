#!/usr/bin/env bash
# Auto-DJ on a real sound server under load. A PulseAudio daemon of the test's own, at real-time
# priority with one null sink, plays both decks on its "pulse" device (as a desktop's sound
# server does; the engines speak to it through libpulse) while busy loops keep every core loaded; the sink's monitor is recorded meanwhile
# and every silent stretch over 50 ms between the first sound and the last is counted (goal: none).
# The main window runs with its own timers under Xvfb (test_decks' Unattended.AutoDJRealTime).
#
# The CTest suite runs it for 20 s; by hand, for ten minutes:
#   AUTODJ_SECONDS=600 bash tests/e2e/autodj_soundserver.sh build/asan/src/quenlow build/asan/media
# AUTODJ_LOAD sets the number of busy loops (16), AUTODJ_KEEP=1 keeps the recording and the logs,
# AUTODJ_SERVER=pipewire plays on PipeWire (its server, session manager and pulse server on a
# session bus of their own) instead, AUTODJ_GAP the milliseconds of silence counted (50).
# Exits 77 (skipped) where the sound server cannot start.
# Usage: autodj_soundserver.sh <path-to-quenlow> <media-dir>
set -euo pipefail
program=$1
build=$(cd "$(dirname "$program")/.." && pwd)
tests="$build/tests/test_decks"
[ -x "$tests" ] || { echo "autodj_soundserver: $tests not built" >&2; exit 1; }
seconds=${AUTODJ_SECONDS:-20}
load=${AUTODJ_LOAD:-16}
for tool in pulseaudio parec python3 xvfb-run; do
  command -v "$tool" >/dev/null || { echo "autodj_soundserver: $tool is missing (scripts/setup installs it)"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -- "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${AUTODJ_KEEP:-0}" = 1 ]; then echo "autodj_soundserver: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

mkdir -p "$work/run" "$work/home" "$work/config"
chmod 700 "$work/run"
echo "autospawn = no" >"$work/client.conf"
if [ "${AUTODJ_SERVER:-pulseaudio}" = pipewire ]; then
  for tool in pipewire pipewire-pulse wireplumber dbus-run-session pactl; do
    command -v "$tool" >/dev/null || { echo "autodj_soundserver: $tool is missing"; exit 77; }
  done
  # PipeWire as a desktop runs it (its threads ask for real time themselves), one null sink made
  # through its pulse server.
  socket=$work/run/pulse/native
  cat >"$work/pipewire.sh" <<EOS
pipewire & for _ in \$(seq 200); do [ -S "$work/run/pipewire-0" ] && break; sleep 0.05; done
wireplumber & pipewire-pulse & wait
EOS
  env -u DBUS_SESSION_BUS_ADDRESS -u PULSE_SERVER -u PIPEWIRE_REMOTE -u DISPLAY XDG_RUNTIME_DIR="$work/run" \
    PIPEWIRE_RUNTIME_DIR="$work/run" HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
    setsid dbus-run-session -- bash "$work/pipewire.sh" >"$work/daemon.log" 2>&1 &
  pids+=(-$!)
  priority="PipeWire's own (its data threads at real time where allowed)"
  launch=()
  for _ in $(seq 400); do [ -S "$socket" ] && break; sleep 0.05; done
  export PULSE_SERVER="unix:$socket" PULSE_CLIENTCONFIG="$work/client.conf"
  # Its pulse server answers a moment after its socket is there, and lists a new sink a moment later.
  for _ in $(seq 300); do pactl load-module module-null-sink sink_name=quenlow_test >/dev/null 2>&1 && break; sleep 0.1; done
  for _ in $(seq 300); do pactl list short sinks 2>/dev/null | grep -q quenlow_test && pactl set-default-sink quenlow_test 2>/dev/null && break; sleep 0.1; done
  pactl list short sinks 2>/dev/null | grep -q quenlow_test || { echo "autodj_soundserver: PipeWire did not start"; cat "$work/daemon.log"; exit 77; }
else
# The daemon: only our socket and one null sink, no session bus, no daemon of the user's.
socket=$work/run/native
daemon=(pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --log-target=stderr
        --realtime=yes --high-priority=yes
        -L "module-null-sink sink_name=quenlow_test"
        -L "module-native-protocol-unix auth-anonymous=1 socket=$socket")
# Real-time priority for the whole daemon where the system allows it (its sink thread asks for
# its own as well); otherwise it runs as it is, and the summary says so.
launch=(chrt -f 20)
priority="SCHED_FIFO 20 (chrt -f 20, --realtime=yes)"
chrt -f 20 true 2>/dev/null || { launch=(); priority="normal priority (real time refused here)"; }
env -u DBUS_SESSION_BUS_ADDRESS -u PULSE_SERVER XDG_RUNTIME_DIR="$work/run" HOME="$work/home" \
  PULSE_CLIENTCONFIG="$work/client.conf" "${launch[@]}" "${daemon[@]}" >"$work/daemon.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -S "$socket" ] && break; sleep 0.05; done
[ -S "$socket" ] || { echo "autodj_soundserver: the PulseAudio daemon did not start"; cat "$work/daemon.log"; exit 77; }
export PULSE_SERVER="unix:$socket" PULSE_CLIENTCONFIG="$work/client.conf"
fi

# What the sink plays, as 16-bit stereo at 44.1 kHz; at the daemon's priority, so the loops do
# not make the recording drop what the sink played.
"${launch[@]}" parec -d quenlow_test.monitor --latency-msec=200 --format=s16le --rate=44100 --channels=2 --raw >"$work/monitor.raw" &
recorder=$!
pids+=($recorder)

for _ in $(seq "$load"); do
  (while :; do :; done) &
  pids+=($!)
done

status=0
xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb QUENLOW_AUTODJ_DEVICE=pulse QUENLOW_AUTODJ_SECONDS="$seconds" \
  "$tests" --gtest_filter='Unattended.AutoDJRealTime' --gtest_brief=0 >"$work/run.log" 2>&1 || status=$?
kill "$recorder" 2>/dev/null || true
if [ $status -ne 0 ] || ! grep -q '\[  PASSED  \] 1 test' "$work/run.log"; then
  cat "$work/run.log"
  exit 1
fi
grep 'real-time run' "$work/run.log"

# Silent stretches in 1 ms steps: a step is silent when no sample in it is above -60 dBFS.
python3 - "$work/monitor.raw" "$seconds" "$load" "$priority" "${AUTODJ_GAP:-50}" <<'EOF'
import array, sys
path, seconds, load, priority, gap = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
samples = array.array('h')
with open(path, 'rb') as f:
    data = f.read()
samples.frombytes(data[: len(data) // 4 * 4])
step = 44 * 2                     # about 1 ms of stereo samples
threshold = 33                    # -60 dBFS of 16-bit
loud = [max(samples[i:i + step]) > threshold or min(samples[i:i + step]) < -threshold
        for i in range(0, len(samples), step)]
first = loud.index(True) if True in loud else None
if first is None:
    print("autodj_soundserver: the recording holds no sound at all")
    sys.exit(1)
last = len(loud) - 1 - loud[::-1].index(True)
stretches, run = [], 0
for i in range(first, last + 1):
    if loud[i]:
        if run > gap:
            stretches.append((i - run, run))
        run = 0
    else:
        run += 1
ms = lambda steps: steps * step / 2 / 44.1
print(f"recorded {ms(len(loud)) / 1000:.1f} s, sound from {ms(first) / 1000:.2f} s to {ms(last) / 1000:.2f} s; "
      f"{load} busy loops; sound server at {priority}")
print(f"silent stretches over {gap} ms: {len(stretches)}"
      + "".join(f"\n  at {ms(at) / 1000:.2f} s: {ms(length):.0f} ms" for at, length in stretches))
sys.exit(1 if stretches else 0)
EOF
