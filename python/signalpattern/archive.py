"""Scan an archive of recordings on a Dask cluster: every file, split into chunks, on every worker.

    python -m signalpattern.archive --scheduler tcp://HOST:8786 --patterns DIR --out results.jsonl FILE...
    python -m signalpattern.archive --workers 2 --patterns DIR --list files.txt --out results.parquet

Without ``--scheduler`` a cluster of ``--workers`` local processes is started. Paths must be the
same on the client and every worker (shared storage), and every worker needs this package.

Long files at 44100 Hz are cut into chunks of ``--chunk-seconds``. A chunk owns the detections
that begin inside it, and is scanned from a lead-in before it (longest pattern + 8 s: the
recognizer's filters, its ring of time blocks and the detector's six-second background floor are
then in the state a scan of the whole file has there) to a tail after it (twice the longest
pattern + 2 s: an occurrence that begins in the chunk is complete and decided). Every detection
is thus found by exactly one chunk, with the positions and values of one scan of the whole file
(``sigpat scan``). Files at other rates are scanned whole (a resampler restarted inside a file
would not give the same samples).

A task lost with its worker is run again by Dask on another worker; each chunk's detections are
taken once, when its task completes, so nothing is lost or doubled. Progress goes to stderr, one
line per finished chunk. The results are written when all chunks are done, sorted by input (in
the order given) and position, as JSON lines (those of ``sigpat scan --json``), or as Parquet
when the output name ends in ``.parquet`` and pyarrow is installed. Exit status: 0 when every file
was scanned, 1 when a file or pattern was bad (named on stderr; the others are still written), 2
for a bad command line.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import List, NamedTuple, Optional, Sequence

import signalpattern as sp

BLOCK = 1152                    # samples per call of the recognizer: chunk edges lie on its grid
RATE = sp.LIBRARY_RATE


class Chunk(NamedTuple):
    """A piece of one input: it owns detections beginning in [own_begin, own_end) and is scanned
    over [read_begin, read_end) (samples at 44100 Hz; None: to the end of the file)."""

    input: int
    path: str
    own_begin: int
    own_end: Optional[int]
    read_begin: int
    read_end: Optional[int]


def _round_up(n: int, step: int = BLOCK) -> int:
    return -(-n // step) * step


def plan_chunks(index: int, path: str, samples: int, rate: int, longest: int, chunk_seconds: float) -> List[Chunk]:
    """The chunks of one file of ``samples`` samples (at 44100 Hz) for patterns of up to ``longest`` samples."""
    length = max(_round_up(int(chunk_seconds * RATE)), _round_up(4 * longest))
    lead = _round_up(longest + 8 * RATE)
    tail = _round_up(2 * longest + 2 * RATE)
    if rate != RATE or samples <= length + tail:
        return [Chunk(index, path, 0, None, 0, None)]
    chunks = []
    for begin in range(0, samples, length):
        end = begin + length
        last = end + tail >= samples
        chunks.append(Chunk(index, path, begin, None if last else end, max(0, begin - lead), None if last else end + tail))
        if last:
            break
    return chunks


# Per worker process: the pattern set, resolved and checked once.
_pattern_sets: dict = {}


def _pattern_set(patterns: Sequence[str], decision: str) -> List[str]:
    key = (tuple(patterns), decision)
    if key not in _pattern_sets:
        _pattern_sets[key] = sp.pattern_files(list(patterns), decision)
    return _pattern_sets[key]


def longest_pattern(patterns: Sequence[str], decision: str):
    """Samples (44100 Hz) of the longest pattern of the set, or the error message of a bad set."""
    try:
        return max(sp.Pattern.load(f).nblock * 576 for f in _pattern_set(patterns, decision))
    except (sp.SignalPatternError, ValueError) as e:
        return str(e)


def probe(index: int, path: str) -> tuple:
    """(index, path, samples, rate) of an input, or (index, path, error message)."""
    try:
        info = sp.audio_info(path)
        return (index, path, info.samples, info.rate)
    except (sp.SignalPatternError, ValueError) as e:
        return (index, path, str(e))


def scan_chunk(chunk: Chunk, patterns: Sequence[str], decision: str, threshold: Optional[float]) -> tuple:
    """(chunk, the detections it owns as dicts) or (chunk, error message)."""
    try:
        found = sp.scan_file(chunk.path, _pattern_set(patterns, decision), decision=decision, threshold=threshold,
                             start=chunk.read_begin, stop=chunk.read_end)
    except (sp.SignalPatternError, ValueError) as e:
        return (chunk, str(e))
    own = [d.to_dict() for d in found
           if d.begin >= chunk.own_begin and (chunk.own_end is None or d.begin < chunk.own_end)]
    return (chunk, own)


def scan_archive(client, inputs: Sequence[str], patterns: Sequence[str], decision: str = "detector",
                 threshold: Optional[float] = None, chunk_seconds: float = 600.0, progress=None):
    """Scans the inputs on the cluster of ``client``; returns (detections sorted by input and
    position, errors as "message" lines). ``progress(chunks_done, chunks_known, seconds_of_audio)``
    is called after every chunk."""
    from distributed import as_completed

    patterns = list(patterns)
    longest = client.submit(longest_pattern, patterns, decision, pure=False).result()
    if isinstance(longest, str):
        raise sp.SignalPatternError(longest)
    pending = as_completed(client.submit(probe, i, p, pure=False, retries=2) for i, p in enumerate(inputs))
    results, errors = [], []
    known = done = 0
    audio = 0.0
    lengths = {}
    for future in pending:
        out = future.result()
        future.release()
        if isinstance(out[0], int):  # a probe
            if len(out) == 3:
                errors.append(out[2])
                continue
            index, path, samples, rate = out
            lengths[index] = samples
            chunks = plan_chunks(index, path, samples, rate, longest, chunk_seconds)
            known += len(chunks)
            for chunk in chunks:
                pending.add(client.submit(scan_chunk, chunk, patterns, decision, threshold, pure=False, retries=2))
            continue
        chunk, found = out
        done += 1
        if isinstance(found, str):
            errors.append(found)
        else:
            results.extend((chunk.input, d) for d in found)
            end = chunk.own_end if chunk.own_end is not None else lengths[chunk.input]
            audio += max(0, end - chunk.own_begin) / RATE
        if progress is not None:
            progress(done, known, audio)
    results.sort(key=lambda r: (r[0], r[1]["begin"], r[1]["end"], r[1]["pattern"]))
    return [d for _, d in results], errors


def write_results(detections: List[dict], out: str) -> None:
    """JSON lines, or Parquet for a name ending in .parquet; written beside and renamed when complete."""
    temporary = out + ".incomplete"
    if out.endswith(".parquet"):
        import pandas as pd
        pd.DataFrame(detections).to_parquet(temporary, index=False)
    else:
        with open(temporary, "w", encoding="utf-8") as f:
            for d in detections:
                f.write(json.dumps(d, separators=(",", ":"), ensure_ascii=False) + "\n")
    os.replace(temporary, out)


def _inputs(args) -> List[str]:
    inputs = list(args.inputs)
    for name in args.list or []:
        base = os.path.dirname(name)
        with open(name, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    inputs.append(line if os.path.isabs(line) or not base else os.path.join(base, line))
    return inputs


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m signalpattern.archive",
                                     description="Scan audio files for patterns on a Dask cluster.")
    parser.add_argument("inputs", nargs="*", metavar="FILE", help="audio files")
    parser.add_argument("--list", action="append", metavar="LIST",
                        help="a file naming one input a line (# comments; relative to the list's directory)")
    parser.add_argument("-p", "--patterns", action="append", required=True, metavar="PATTERN",
                        help="a pattern file or a directory of them (repeatable)")
    parser.add_argument("--out", required=True, help="results: JSON lines, or Parquet for NAME.parquet")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://HOST:8786)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="without --scheduler: local worker processes (default: one per core)")
    parser.add_argument("--decision", default="detector", choices=["detector", "library"])
    parser.add_argument("--threshold", type=float, help="threshold of the library's rule")
    parser.add_argument("--chunk-seconds", type=float, default=600.0, help="length of a chunk of a long file")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    args = parser.parse_args(argv)

    try:
        inputs = _inputs(args)
    except OSError as e:
        parser.error(f"{e.filename}: cannot read the list of inputs ({e.strerror})")
    if not inputs:
        parser.error("no inputs given")
    if args.threshold is not None and args.decision != "library":
        parser.error("--threshold sets the library's own rule (add --decision library); the detector keeps a "
                     "threshold per pattern, tuned on background audio with 'sigpat calibrate'")
    # Found out now rather than after the scan: where the results go.
    out_dir = os.path.dirname(os.path.abspath(args.out))
    if not os.path.isdir(out_dir):
        parser.error(f"{args.out}: the directory {out_dir} does not exist")
    if args.out.endswith(".parquet"):
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            parser.error("--out NAME.parquet needs pyarrow, which is not installed (write JSON lines instead)")
    if args.chunk_seconds <= 0 or args.workers < 1:
        parser.error("--chunk-seconds and --workers must be positive")

    from distributed import Client, LocalCluster

    started = time.monotonic()

    def progress(done: int, known: int, audio: float) -> None:
        if not args.quiet:
            print(f"archive: {done}/{known} chunks, {audio / 3600:.2f} h of audio, "
                  f"{time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)

    try:
        if args.scheduler:
            client, cluster = Client(args.scheduler), None
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None)
            client = Client(cluster)
        try:
            detections, errors = scan_archive(client, inputs, args.patterns, args.decision, args.threshold,
                                              args.chunk_seconds, progress)
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    except (sp.SignalPatternError, ValueError, OSError) as e:
        print(f"archive: error: {e}", file=sys.stderr)
        return 1
    try:
        write_results(detections, args.out)
    except OSError as e:
        print(f"archive: error: cannot write {args.out}: {e.strerror}", file=sys.stderr)
        return 1
    for message in errors:
        print(f"archive: error: {message}", file=sys.stderr)
    if not args.quiet:
        print(f"archive: {len(detections)} detections in {len(inputs)} files written to {args.out}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    # Run as signalpattern.archive rather than __main__, so that workers import the task
    # functions by name instead of receiving copies of them.
    from signalpattern import archive
    sys.exit(archive.main())
