#!/bin/bash
# Live monitoring with 100 patterns (sigpat monitor, whole process):
#   - capacity: N stations of an MP3 radio stream (48 kHz stereo, 128 kbit/s) served on
#     127.0.0.1 much faster than real time, the monitor pinned to one core with one recognition
#     thread; the sum of the stations' real-time ratios is how many real-time stations one core
#     holds (decoding, resampling, recognition and the decision layer included);
#   - delay: one station served at real time; the time from the end of a clip in the stream to
#     its report line on standard output;
#   - set-up and memory with 1, 10 and 50 stations: processor time of N stations that each read
#     a 0.2 s file (set-up of the patterns and of each station's recognizer, one thread), and the
#     resident memory of N live stations served at real time once every one of them recognizes.
# Usage: bench/monitor_bench.sh BUILD_DIR [STATIONS]   (BUILD_DIR: a build tree with sigpat and
# sp_make_audio, i.e. configured with -DSP_BUILD_BENCH=ON). Needs ffmpeg and python3.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: monitor_bench.sh BUILD_DIR [STATIONS]}
stations=${2:-4}
sigpat=$build/tools/sigpat
make_audio=$build/bench/sp_make_audio
server=$here/../tests/cli/stream_server.py
python=/usr/bin/python3
[ -x "$python" ] || python=python3
for f in "$sigpat" "$make_audio"; do
  [ -x "$f" ] || { echo "monitor_bench: $f is not built; nothing measured"; exit 0; }
done

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

# 100 patterns of 4 s: the ten clips and 90 stretches of another recording.
"$make_audio" "$work" 4 >/dev/null
mkdir -p "$work/patterns" "$work/www"
for k in 0 1 2 3 4 5 6 7 8 9; do "$sigpat" -q create "$work/clip$k.wav" -o "$work/patterns/clip$k.tvs" >/dev/null; done
for k in $(seq 0 89); do
  "$sigpat" -q create "$work/streamB.wav" --begin-sec $((k * 2)) --end-sec $((k * 2 + 4)) -o "$work/patterns/b$k.tvs" >/dev/null
done
ffmpeg -nostdin -loglevel error -i "$work/streamA.wav" -c:a libmp3lame -b:a 128k -id3v2_version 0 -write_xing 0 "$work/www/radio.mp3"
ffmpeg -nostdin -loglevel error -i "$work/streamA.wav" -t 14 -c:a libmp3lame -b:a 128k -id3v2_version 0 -write_xing 0 "$work/www/short.mp3"

serve() {  # serve RATE PORTFILE
  taskset -c 0 "$python" "$server" "$work/www" "$2" --rate "$1" &
  pids+=($!)
  while [ ! -s "$2" ]; do sleep 0.05; done
}

# Capacity.
serve $((100 * 16000)) "$work/port1"
port=$(cat "$work/port1")
args=()
for s in $(seq 1 "$stations"); do args+=(--station "s$s=http://127.0.0.1:$port/live/radio.mp3"); done
taskset -c 1 "$sigpat" monitor -p "$work/patterns" --threads 1 --heartbeat 10 --status "$work/status1" "${args[@]}" >/dev/null &
mon=$!
sleep 21
# Processor time of the monitor (user + system, clock ticks): robust against other load on the core.
ticks=$(awk '{ print $14 + $15 }' "/proc/$mon/stat")
kill -TERM "$mon"; wait "$mon" || true
"$python" - "$work/status1" "$stations" "$ticks" "$(getconf CLK_TCK)" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
beats = [b for b in lines if b["event"] == "heartbeat"]
last = beats[-int(sys.argv[2]):]  # the second round: connections and set-up are behind
total = sum(b["realtime"] for b in last)
audio = sum(b["audio_s"] for b in lines if b["event"] == "finished")
cpu = float(sys.argv[3]) / float(sys.argv[4])
print("capacity: %d stations, one core, 100 patterns: %.0f times real time in all (wall clock, last 10 s)"
      % (len(last), total))
print("          %.0f s of audio in %.1f s of processor time: one core holds about %.0f real-time stations"
      % (audio, cpu, audio / cpu))
PY

# Delay: the first clip of the stream lies at 5.0 .. 9.0 s.
serve 16000 "$work/port2"
port=$(cat "$work/port2")
mkfifo "$work/lines"
"$python" -c 'import sys, time
for line in sys.stdin:
    print("%.3f %s" % (time.time(), line.strip()), flush=True)' <"$work/lines" >"$work/timed" &
stamper=$!
"$sigpat" monitor -p "$work/patterns" --json --station "rt=http://127.0.0.1:$port/live/short.mp3" 2>/dev/null >"$work/lines" &
mon=$!
sleep 14.5
kill -TERM "$mon"; wait "$mon" || true
wait "$stamper" || true
"$python" - "$work/timed" "$work/port2.log" <<'PY'
import json, sys
start = float(open(sys.argv[2]).read().split()[0])
for line in open(sys.argv[1]):
    t, text = line.split(" ", 1)
    d = json.loads(text)
    if d["file"].endswith("clip0.tvs"):
        print("delay: clip end (%.3f s into the stream) to its report line: %.2f s"
              % (d["end_s"], float(t) - (start + d["end_s"])))
        break
else:
    print("delay: the clip was not reported")
PY

# Set-up and memory.
ffmpeg -nostdin -loglevel error -i "$work/clip0.wav" -t 0.2 "$work/tiny.wav"
for n in 1 10 50; do
  args=()
  for s in $(seq 1 "$n"); do args+=(--station "f$s=$work/tiny.wav"); done
  best=
  for run in 1 2 3; do
    cpu=$(/usr/bin/time -f "%U %S" taskset -c 1 "$sigpat" monitor -p "$work/patterns" --threads 1 --status /dev/null \
          "${args[@]}" 2>&1 >/dev/null | tail -1 | awk '{ print $1 + $2 }')
    best=$(echo "$cpu ${best:-$cpu}" | awk '{ print ($1 < $2) ? $1 : $2 }')
  done
  echo "set-up: $n stations of a 0.2 s file, 100 patterns: $best s of processor time"
done
serve 16000 "$work/port3"
port=$(cat "$work/port3")
for n in 1 10 50; do
  args=()
  for s in $(seq 1 "$n"); do args+=(--station "s$s=http://127.0.0.1:$port/live/radio.mp3"); done
  rm -f "$work/status3"
  "$sigpat" monitor -p "$work/patterns" --heartbeat 1 --status "$work/status3" "${args[@]}" >/dev/null &
  mon=$!
  # Every station recognizing: each has more than 2 s of audio and nothing queued.
  "$python" - "$work/status3" "$n" <<'PY'
import json, sys, time
for _ in range(600):
    time.sleep(0.5)
    try:
        lines = [json.loads(l) for l in open(sys.argv[1])]
    except (OSError, ValueError):
        continue
    last = {}
    for b in lines:
        if b["event"] == "heartbeat":
            last[b["station"]] = b
    if len(last) == int(sys.argv[2]) and all(b["audio_s"] > 2 and b["queued_s"] < 0.5 for b in last.values()):
        break
PY
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$mon/status")
  kill -TERM "$mon"; wait "$mon" || true
  echo "memory: $n live stations, 100 patterns: $((rss / 1024)) MiB resident"
done
