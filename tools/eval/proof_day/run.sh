#!/bin/bash
# Proof of airing end to end over a generated broadcast day (day.py makes it):
#   - sigpat monitor --db of STATIONS stations (HLS playlists with program date-times, read as
#     fast as they decode) with 200 patterns, a catalogue and Opus evidence;
#   - every detection in the store equals monitor's JSON output (export against stdout);
#   - sigpat reconcile of the 500-booking schedule finds each planted discrepancy (aired,
#     aired_outside_window, not_aired, wrong_version, truncated, unbooked) and nothing else;
#   - figures: wall and processor time of the monitor, store bytes per detection, evidence
#     bytes per minute.
# Usage: tools/eval/proof_day/run.sh BUILD_DIR [HOURS] [STATIONS] [WORK]
#   HOURS may be a fraction (0.5). HOURS 24 and STATIONS 10 (the defaults) are the whole day: 240 hours of audio
#   (about 300 MB of segments in WORK, the bed's reused; WORK defaults to a temporary directory, removed at the
#   end) and about 30 minutes of processor time for the monitor.
# Needs /usr/bin/python3 with numpy and ffmpeg. Exit status 1 when a check fails.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run.sh BUILD_DIR [HOURS] [STATIONS] [WORK]}
hours=${2:-24}
stations=${3:-10}
sigpat=$(cd "$build" && pwd)/tools/sigpat
[ -x "$sigpat" ] || { echo "run.sh: $sigpat is not built" >&2; exit 2; }
if [ -n "${4:-}" ]; then
  work=$4
  mkdir -p "$work"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

echo "generating $stations stations x $hours h into $work"
t0=$(date +%s)
/usr/bin/python3 "$here/day.py" make "$work" "$stations" "$hours"
mkdir -p "$work/patterns"
for wav in "$work"/spots/*.wav; do
  "$sigpat" -q create "$wav" -o "$work/patterns/$(basename "$wav" .wav).tvs" >/dev/null
done
echo "generated in $(( $(date +%s) - t0 )) s; $(ls "$work"/patterns/*.tvs | wc -l) patterns"

args=()
for s in $(seq 0 $((stations - 1))); do args+=(--station "S$s=$work/S$s.m3u8"); done
rm -rf "$work/day.db" "$work/evidence" "$work/status.jsonl"
/usr/bin/python3 - "$work" "$sigpat" monitor --json -p "$work/patterns" --catalogue "$work/catalogue.csv" "${args[@]}" \
  --db "$work/day.db" --evidence "$work/evidence" --status "$work/status.jsonl" <<'PY'
import resource, subprocess, sys, time
work = sys.argv[1]
start = time.time()
with open(f"{work}/monitor.out", "wb") as out:
    status = subprocess.run(sys.argv[2:], stdout=out).returncode
r = resource.getrusage(resource.RUSAGE_CHILDREN)
with open(f"{work}/monitor.times", "w") as f:
    f.write(f"{time.time() - start:.1f} {r.ru_utime + r.ru_stime:.1f}\n")
sys.exit(status)
PY
read -r wall cpu <"$work/monitor.times"
"$sigpat" export --db "$work/day.db" >"$work/export.out"
detections=$(wc -l <"$work/monitor.out")
stored=$(wc -l <"$work/export.out")
if cmp -s <(sort "$work/monitor.out") <(sort "$work/export.out"); then same=yes; else same=NO; fi
utc=$(grep -c '"begin_utc"' "$work/monitor.out" || true)
db_bytes=$(stat -c %s "$work/day.db")
ev_files=$(find "$work/evidence" -type f -name '*.opus' | wc -l)
ev_bytes=$(find "$work/evidence" -type f -name '*.opus' -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
ev_seconds=$(find "$work/evidence" -type f -name '*.opus' -print0 |
  xargs -0 -r -n 1 ffprobe -v error -show_entries format=duration -of csv=p=0 | awk '{ n += $1 } END { print n + 0 }')
slack=$(/usr/bin/python3 -c "import json; print(json.load(open('$work/planted.json'))['slack_s'])")
# The whole day: an airing after the last window is still in the reconciled span.
read -r from to < <(/usr/bin/python3 "$here/day.py" span "$hours")
"$sigpat" reconcile --db "$work/day.db" --schedule "$work/schedule.csv" --slack "$slack" --from "$from" --to "$to" \
  --csv "$work/reconciled.csv" \
  --html "$work/reconciled.html" --evidence "$work/evidence" >/dev/null
set +e
/usr/bin/python3 "$here/day.py" check "$work" "$work/reconciled.csv"
planted=$?
set -e
awk -v st="$stations" -v h="$hours" -v w="$wall" -v c="$cpu" -v n="$detections" -v u="$utc" -v s="$stored" -v same="$same" \
    -v db="$db_bytes" -v ef="$ev_files" -v eb="$ev_bytes" -v es="$ev_seconds" 'BEGIN {
  printf "monitor: %d stations x %g h (%g h of audio), 200 patterns: %d detections (%d with UTC times) in %.0f s wall, %.0f s processor time (%.0fx real time per core)\n",
    st, h, st * h, n, u, w, c, st * h * 3600 / c
  printf "store: %d rows exported, the same lines as printed: %s; %.0f bytes per detection (SQLite file %d bytes)\n", s, same, db / n, db
  printf "evidence: %d Opus files, %.1f min, %.0f KB per minute\n", ef, es / 60, eb / (es / 60) / 1000
}'
[ "$same" = yes ] && [ "$detections" -gt 0 ] && [ "$utc" -eq "$detections" ] && [ "$planted" -eq 0 ]
