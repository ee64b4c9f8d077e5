#!/bin/bash
# The detections store (scan --db, monitor --db), whole processes:
#   - overhead: processor time (user + system) of sigpat scan of a 10-minute recording (48 kHz
#     stereo, the ten clips inserted 8 times each) with 10 patterns, without a store, into a
#     new SQLite file, and into PostgreSQL (tests/support/pg_server.sh; sigpat's own time, not
#     the server's); RUNS runs each, medians;
#   - size: bytes of the SQLite file per detection (11 scans of the recording at other start
#     times into one file, the first one's size taken off);
#   - a monitor of 10 stations (files, read as fast as they decode) with 200 patterns into
#     SQLite: every JSON line it printed is in the store (export), and nothing else.
# Usage: bench/store_bench.sh BUILD_DIR [RUNS]   (BUILD_DIR: a build tree with sigpat). Needs
# python3; PostgreSQL is measured where it is installed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: store_bench.sh BUILD_DIR [RUNS]}
runs=${2:-5}
sigpat=$build/tools/sigpat
[ -x "$sigpat" ] || { echo "store_bench: $sigpat is not built; nothing measured"; exit 0; }
python=/usr/bin/python3
[ -x "$python" ] || python=python3

work=$(mktemp -d)
pg_state=$work/pg
cleanup() { [ -d "$pg_state" ] && sh "$here/../tests/support/pg_server.sh" stop "$pg_state" || true; rm -rf "$work"; }
trap cleanup EXIT
export SIGNALPATTERN_CACHE=$work/cache

make_audio=$build/bench/sp_make_audio
if [ ! -x "$make_audio" ]; then
  make_audio=$work/sp_make_audio
  c++ -O2 -std=c++20 "$here/make_audio.cpp" -o "$make_audio"
fi
"$make_audio" "$work" 10 >/dev/null
mkdir -p "$work/p10" "$work/p200"
for k in 0 1 2 3 4 5 6 7 8 9; do
  "$sigpat" -q create "$work/clip$k.wav" -o "$work/p10/clip$k.tvs" >/dev/null
  cp "$work/p10/clip$k.tvs"* "$work/p200/"
done
for k in $(seq 0 189); do
  "$sigpat" -q create "$work/streamB.wav" --begin-sec "$(echo "$k * 3.1" | bc)" --end-sec "$(echo "$k * 3.1 + 4" | bc)" \
    -o "$work/p200/b$k.tvs" >/dev/null
done

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

scan=(scan -q --json -p "$work/p10" "$work/streamA.wav")
detections=$("$sigpat" "${scan[@]}" | wc -l)
pg_url=
if pg=$(sh "$here/../tests/support/pg_server.sh" start "$pg_state" 2>/dev/null); then pg_url=$pg; fi
plain=() sqlite=() postgres=()
for r in $(seq 1 "$runs"); do
  plain+=("$(cpu "${scan[@]}")")
  sqlite+=("$(cpu "${scan[@]}" --db "$work/run$r.db")")
  if [ -n "$pg_url" ]; then
    url=$(sh "$here/../tests/support/pg_server.sh" createdb "$pg_state" "run$r")
    postgres+=("$(cpu "${scan[@]}" --db "$url")")
  fi
done
p=$(printf '%s\n' "${plain[@]}" | median)
s=$(printf '%s\n' "${sqlite[@]}" | median)
echo "scan of 10 min (48 kHz stereo), 10 patterns, $detections detections; processor time, median of $runs:"
echo "  no store:    $p s   (runs: ${plain[*]})"
awk -v p="$p" -v s="$s" 'BEGIN { printf "  SQLite:      %s s   overhead %+.1f %%\n", s, 100 * (s - p) / p }'
if [ -n "$pg_url" ]; then
  g=$(printf '%s\n' "${postgres[@]}" | median)
  awk -v p="$p" -v g="$g" 'BEGIN { printf "  PostgreSQL:  %s s   overhead %+.1f %% (sigpat only)\n", g, 100 * (g - p) / p }'
else
  echo "  PostgreSQL:  not measured (pg_server.sh could not start a server)"
fi

# Size per detection.
db=$work/size.db
"$sigpat" "${scan[@]}" --db "$db" --start-utc 2026-01-01T00:00:00Z >/dev/null
first=$(stat -c %s "$db")
for k in $(seq 1 10); do
  "$sigpat" "${scan[@]}" --db "$db" --start-utc "2026-01-$(printf %02d $((k + 1)))T00:00:00Z" >/dev/null
done
last=$(stat -c %s "$db")
awk -v a="$first" -v b="$last" -v n="$((10 * detections))" \
  'BEGIN { printf "SQLite size: %.0f bytes per detection (%d detections more: %d -> %d bytes)\n", (b - a) / n, n, a, b }'

# Ten stations, 200 patterns: the store holds exactly what the monitor printed.
stations=()
for s in $(seq 0 9); do stations+=(--station "station $s=$work/streamA.wav"); done
start=$(date +%s.%N)
nice -n 10 "$sigpat" monitor --json -p "$work/p200" "${stations[@]}" --db "$work/day.db" --status "$work/status" >"$work/day.out"
end=$(date +%s.%N)
"$sigpat" export --db "$work/day.db" >"$work/day.export"
printed=$(wc -l <"$work/day.out")
if cmp -s <(sort "$work/day.out") <(sort "$work/day.export"); then same=yes; else same=NO; fi
awk -v n="$printed" -v t="$(echo "$end - $start" | bc)" -v same="$same" \
  'BEGIN { printf "monitor, 10 stations x 10 min, 200 patterns: %d detections in %.0f s; the store holds exactly the lines printed: %s\n", n, t, same }'
