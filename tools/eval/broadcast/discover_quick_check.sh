#!/usr/bin/env bash
# The quick discovery evaluation of the test suite: makes the quick discovery corpus of one set
# and runs discover_eval.py on it with bounds. Exits 77 (skipped) when the tools or Debian
# packages the corpus needs are missing.
#   discover_quick_check.sh SIGPAT OUTDIR SET [discover_eval bounds...]
set -euo pipefail
sigpat="$1" out="$2" set="$3"
shift 3
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -x /usr/bin/python3 ]; then
  echo "skipped: the discovery corpus generator needs /usr/bin/python3 (Debian package python3)"
  exit 77
fi
rm -rf "${out}"
status=0
/usr/bin/python3 "${here}/make_discover_corpus.py" "${out}" --quick --set "${set}" || status=$?
if [ "${status}" -eq 3 ]; then
  echo "skipped: the discovery corpus needs packages that are not installed (see above)"
  exit 77
fi
[ "${status}" -eq 0 ] || exit "${status}"
/usr/bin/python3 "${here}/discover_eval.py" "${sigpat}" "${out}/${set}" --json "${out}/${set}/figures.json" --assert "$@"
