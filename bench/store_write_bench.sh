#!/bin/bash
# Write costs of the detections store (bench/store_write_bench.cpp): a load of PATTERNS
# patterns and DETECTIONS detections, RUNS runs into fresh SQLite files and (where PostgreSQL is
# installed) fresh databases of a server started here (tests/support/pg_server.sh), medians.
# Usage: bench/store_write_bench.sh BUILD_DIR [PATTERNS] [DETECTIONS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: store_write_bench.sh BUILD_DIR [PATTERNS] [DETECTIONS] [RUNS]}
patterns=${2:-1000} detections=${3:-500} runs=${4:-5}
bench=$build/bench/store_write_bench
[ -x "$bench" ] || { echo "store_write_bench: $bench is not built (-DSP_BUILD_BENCH=ON); nothing measured"; exit 0; }
work=$(mktemp -d)
chmod 755 "$work"
pg_state=$work/pg
cleanup() { [ -d "$pg_state" ] && sh "$here/../tests/support/pg_server.sh" stop "$pg_state" || true; rm -rf "$work"; }
trap cleanup EXIT
export SIGNALPATTERN_CACHE=$work/cache
files=()
for r in $(seq 1 "$runs"); do files+=("$work/run$r.db"); done
echo "SQLite:"
"$bench" "$patterns" "$detections" "${files[@]}"
if url=$(sh "$here/../tests/support/pg_server.sh" start "$pg_state" 2>/dev/null); then
  urls=()
  for r in $(seq 1 "$runs"); do urls+=("$(sh "$here/../tests/support/pg_server.sh" createdb "$pg_state" "run$r")"); done
  echo "PostgreSQL:"
  "$bench" "$patterns" "$detections" "${urls[@]}"
else
  echo "PostgreSQL: not installed here; not measured"
fi
