#!/bin/bash
# End-to-end cost of `sigpat scan` over a broadcast set (docs/evaluation.md): one process scans
# every programme of the set for the given patterns on one core (taskset), as many times as asked;
# with a second build, the two alternate run by run, so that both meet the same load. Prints each
# run's processor time (user + system) and, per build, the median and the real-time factor
# (programme seconds per processor second).
#   bench/broadcast_bench.sh SET_DIR PATTERNS RUNS SIGPAT [SIGPAT_BEFORE]
# SET_DIR: a set made by tools/eval/broadcast/make_corpus.py (its programmes/*.wav are scanned);
# PATTERNS: a directory of .tvs files (or one file); SIGPAT_BEFORE: another build's sigpat (its
# library beside it or found through LD_LIBRARY_PATH_BEFORE). Exit status 2 on bad arguments.
set -euo pipefail

if [ $# -lt 4 ]; then
  echo "usage: broadcast_bench.sh SET_DIR PATTERNS RUNS SIGPAT [SIGPAT_BEFORE]" >&2
  exit 2
fi
set_dir=$1 patterns=$2 runs=$3
builds=("$4")
[ $# -ge 5 ] && builds+=("$5")
shopt -s nullglob
programmes=("$set_dir"/programmes/*.wav)
if [ ${#programmes[@]} -eq 0 ]; then
  echo "broadcast_bench: $set_dir/programmes holds no .wav programme" >&2
  exit 2
fi
for b in "${builds[@]}"; do
  [ -x "$b" ] || { echo "broadcast_bench: $b is not an executable sigpat" >&2; exit 2; }
done
seconds=$(soxi -D "${programmes[@]}" 2>/dev/null | awk '{ s += $1 } END { printf "%.1f", s }') || seconds=0
core=${BENCH_CORE:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for ((r = 1; r <= runs; ++r)); do
  for k in "${!builds[@]}"; do
    lib=$(dirname "${builds[$k]}")
    [ "$k" -eq 1 ] && lib=${LD_LIBRARY_PATH_BEFORE:-$lib}
    # The patterns' calibration cache is warmed by the first run of each build and kept apart.
    SIGNALPATTERN_CACHE=$work/cache$k LD_LIBRARY_PATH=$lib /usr/bin/time -o "$work/t" -f '%U %S' \
      taskset -c "$core" "${builds[$k]}" -q scan -p "$patterns" "${programmes[@]}" > "$work/out$k" 2>/dev/null
    cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/t")
    echo "$cpu" >> "$work/cpu$k"
    printf 'run %d  build %s  cpu %6.2f s  %s detections\n' "$r" "$k" "$cpu" "$(grep -c . "$work/out$k" || true)"
  done
done
for k in "${!builds[@]}"; do
  sort -n "$work/cpu$k" | awk -v n="$runs" -v a="$seconds" -v b="${builds[$k]}" -v k="$k" \
    '{ v[NR] = $1 } END { m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2;
       printf "build %s (%s): median cpu %.2f s of %d runs (%.2f-%.2f), %.0fx real time over %.0f s\n",
              k, b, m, n, v[1], v[n], (m > 0 ? a / m : 0), a }'
done
