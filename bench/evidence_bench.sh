#!/bin/bash
# What evidence audio and the store cost a scan, whole processes:
#   sigpat scan of a generated programme (MINUTES long, 44100 Hz mono, a noise bed with one of ten
#   4 s spots every SPACING seconds) with 200 patterns (the ten spots and 190 that never air), without a store and with --db (a new
#   SQLite file) + --evidence in each format; processor time (user + system of sigpat), median of
#   RUNS runs each; the overhead per format, the evidence's processor time and bytes per minute
#   of evidence.
# With a fifth argument `instructions`, each of the five scans also runs once under valgrind's
# callgrind: the instructions executed by the whole process (every thread, the evidence writer's
# too), which a loaded machine does not blur, and the overhead in instructions; the profiles are
# kept in $EVIDENCE_BENCH_PROFILES when that is set (callgrind_annotate reads them).
# Usage: bench/evidence_bench.sh BUILD_DIR [RUNS] [MINUTES] [SPACING] [instructions]   (defaults 5, 20,
# 120; broadcast airs about 12 spots an hour, SPACING 300)
# Needs python3 with numpy (Debian python3-numpy), valgrind for `instructions`.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: evidence_bench.sh BUILD_DIR [RUNS] [MINUTES] [SPACING] [instructions]}
runs=${2:-5}
minutes=${3:-20}
spacing=${4:-120}
count=${5:-}
sigpat=$build/tools/sigpat
[ -x "$sigpat" ] || { echo "evidence_bench: $sigpat is not built; nothing measured"; exit 0; }
python=/usr/bin/python3
[ -x "$python" ] || python=python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A cache of our own (self-calibration, relatives), filled by the first run: in the shared one,
# other processes' catalogues can push ours out between two runs, and a run that finds the
# relatives anew costs 1 % more (0.2 G instructions with 200 patterns), which is no part of
# what the store and the evidence cost.
export SIGNALPATTERN_CACHE=$work/cache

# Ten clips as the end-to-end benchmark makes them: the spots that air.
make_audio=$build/bench/sp_make_audio
if [ ! -x "$make_audio" ]; then
  make_audio=$work/sp_make_audio
  c++ -O2 -std=c++20 "$here/make_audio.cpp" -o "$make_audio"
fi
"$make_audio" "$work" 1 >/dev/null
mkdir -p "$work/p200"
for k in 0 1 2 3 4 5 6 7 8 9; do "$sigpat" -q create "$work/clip$k.wav" -o "$work/p200/clip$k.tvs" >/dev/null; done
# 190 more patterns of clips that never air (tone steps of their own): the load of a real
# pattern set, without detections of their own.
"$python" - "$work" <<'PY'
import sys, wave
import numpy as np
rate = 44100
for k in range(190):
    rng = np.random.default_rng(5000 + k)
    x, at, phase = np.zeros(4 * rate, dtype=np.float32), 0, 0.0
    while at < len(x):
        n = min(int((0.1 + 0.3 * rng.random()) * rate), len(x) - at)
        f = 200 + 4300 * rng.random()
        x[at:at + n] = (6000 + 6000 * rng.random()) * np.sin(phase + 2 * np.pi * f * np.arange(n) / rate)
        phase += 2 * np.pi * f * n / rate
        at += n
    with wave.open(f"{sys.argv[1]}/other{k}.wav", "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(rate)
        w.writeframes(x.astype(np.int16).tobytes())
PY
for k in $(seq 0 189); do "$sigpat" -q create "$work/other$k.wav" -o "$work/p200/other$k.tvs" >/dev/null; done
"$python" - "$work" "$minutes" "$spacing" <<'PY'
import sys, wave
import numpy as np
work, minutes, spacing = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
rate = 44100
rng = np.random.default_rng(7)
x = rng.standard_normal(int(minutes * 60 * rate)).astype(np.float32) * 1500
clips = []
for k in range(10):
    with wave.open(f"{work}/clip{k}.wav") as w:
        clips.append(np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).astype(np.float32))
t, k = spacing / 2, 0
while t + 5 < minutes * 60:
    at = int(t * rate)
    c = clips[k % 10]
    x[at:at + len(c)] += c
    t, k = t + spacing, k + 1
with wave.open(f"{work}/programme.wav", "wb") as w:
    w.setnchannels(1), w.setsampwidth(2), w.setframerate(rate)
    w.writeframes(np.clip(x, -32768, 32767).astype(np.int16).tobytes())
PY

# cpu ARGS...: processor time of one sigpat run, seconds.
cpu() {
  "$python" - "$sigpat" "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{r.ru_utime + r.ru_stime:.4f}")
PY
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

scan=(scan -q --json -p "$work/p200" "$work/programme.wav")
detections=$("$sigpat" "${scan[@]}" | wc -l)
declare -A times
for r in $(seq 1 "$runs"); do
  times[plain]+=" $(cpu "${scan[@]}")"
  times[db]+=" $(cpu "${scan[@]}" --db "$work/db$r.db")"
  for f in opus mp3 flac; do
    rm -rf "$work/ev-$f"
    times[$f]+=" $(cpu "${scan[@]}" --db "$work/$f$r.db" --evidence "$work/ev-$f" --evidence-format "$f")"
  done
done
p=$(printf '%s\n' ${times[plain]} | median)
echo "scan of $minutes min (44.1 kHz mono), a spot every $spacing s, 200 patterns, $detections detections;"
echo "processor time, median of $runs runs:"
echo "  no store, no evidence:  $p s   (runs:${times[plain]})"
d=$(printf '%s\n' ${times[db]} | median)
awk -v p="$p" -v s="$d" 'BEGIN { printf "  --db (SQLite):          %s s   overhead %+.1f %%\n", s, 100 * (s - p) / p }'
for f in opus mp3 flac; do
  s=$(printf '%s\n' ${times[$f]} | median)
  files=$(find "$work/ev-$f" -type f -name "*.$f" | wc -l)
  bytes=$(find "$work/ev-$f" -type f -name "*.$f" -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
  # Minutes of evidence: each file holds --pre 5 + the clip (4 s) + --post 5.
  awk -v p="$p" -v d="$d" -v s="$s" -v f="$f" -v n="$files" -v b="$bytes" 'BEGIN {
    m = n * 14 / 60
    printf "  --db --evidence %-4s    %s s   overhead %+.1f %%; %d files, %.1f min of evidence: %.0f KB and %.2f s of processor time per minute of evidence\n",
      f, s, 100 * (s - p) / p, n, m, b / m / 1000, (s - d) / m }'
done
# Does the evidence serve its purpose: each file, decoded and scanned again with the 200 patterns,
# finds the spot its name says, and nothing else.
echo "evidence scanned again (200 patterns): files whose spot is found, alone"
for f in opus mp3 flac; do
  ok=0 all=0
  for e in "$work/ev-$f"/*/*/*."$f"; do
    all=$((all + 1))
    want=${e##*_}
    want=${want%.$f}
    got=$("$sigpat" scan -q --json -p "$work/p200" "$e" | sed -n 's/.*"file":"[^"]*\/\([^"/]*\)\.tvs".*/\1/p' | sort -u | tr '\n' ' ')
    [ "$got" = "$want " ] && ok=$((ok + 1))
  done
  echo "  $f: $ok of $all"
done

[ "$count" = instructions ] || exit 0
command -v valgrind >/dev/null || { echo "evidence_bench: valgrind is not installed; instructions not counted"; exit 0; }
# ir NAME ARGS...: instructions of one sigpat run under callgrind (all threads).
ir() {
  local name=$1
  shift
  rm -rf "$work/ev-$name" "$work/ir-$name.db"
  valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$name" "$sigpat" "$@" \
    2>"$work/valgrind.$name" >/dev/null
  [ -n "${EVIDENCE_BENCH_PROFILES:-}" ] && mkdir -p "$EVIDENCE_BENCH_PROFILES" &&
    cp "$work/callgrind.$name" "$EVIDENCE_BENCH_PROFILES/"
  sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/valgrind.$name"
}
declare -A irs
irs[plain]=$(ir plain "${scan[@]}")
irs[db]=$(ir db "${scan[@]}" --db "$work/ir-db.db")
for f in opus mp3 flac; do
  irs[$f]=$(ir "$f" "${scan[@]}" --db "$work/ir-$f.db" --evidence "$work/ev-$f" --evidence-format "$f")
done
echo "instructions (callgrind, whole process, one run each):"
echo "  no store, no evidence:  ${irs[plain]}"
for k in db opus mp3 flac; do
  label="--db --evidence $k"
  [ "$k" = db ] && label="--db (SQLite)"
  awk -v p="${irs[plain]}" -v s="${irs[$k]}" -v l="$label" 'BEGIN { printf "  %-22s  %.0f   overhead %+.2f %%\n", l, s, 100 * (s - p) / p }'
done
