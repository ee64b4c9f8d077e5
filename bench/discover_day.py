#!/usr/bin/python3
"""Benchmark of sigpat discover on a day (24 h) of one station: makes HOURS one-hour inputs from
the programmes of a discovery corpus set (make_discover_corpus.py), each hour the set's
programmes one after the other played at another speed (hour k at 1 + (k - HOURS/2) * 0.2 %,
through sox), so that no hour is a sample-exact copy of another; then runs `sigpat discover` on
all of them at once (one index) and prints the audio hours, the processor time, the speed
against real time and the peak memory.

Every clip and song of the set airs once an hour: the day repeats far more than a station's day
does, so the votes, candidates and verified pairs (the work after the index) are more than a
real day's.

    discover_day.py SIGPAT CORPUS/SET WORKDIR [--hours N] [--keep]

Needs sox (Debian package sox). Exit status 0, 1 on a failure, 77 when sox is missing.
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time


def main(argv):
    ap = argparse.ArgumentParser(description="sigpat discover on a day of one station.")
    ap.add_argument("sigpat")
    ap.add_argument("corpus")
    ap.add_argument("work")
    ap.add_argument("--hours", type=int, default=24)
    ap.add_argument("--keep", action="store_true", help="keep the hour files")
    args = ap.parse_args(argv)
    if shutil.which("sox") is None:
        print("skipped: discover_day.py needs sox (Debian package sox)")
        return 77
    with open(os.path.join(args.corpus, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    programmes = [os.path.join(args.corpus, p["file"]) for p in manifest["programmes"]]
    os.makedirs(args.work, exist_ok=True)
    hours = []
    for k in range(args.hours):
        path = os.path.join(args.work, f"hour{k:02d}.wav")
        factor = 1.0 + (k - args.hours // 2) * 0.002
        if not os.path.exists(path):
            tmp = path + ".part.wav"
            subprocess.run(["sox"] + programmes + [tmp, "speed", f"{factor:.4f}", "rate", "44100"], check=True)
            os.replace(tmp, path)
        hours.append(path)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    run = subprocess.run([args.sigpat, "discover", "--json"] + hours, capture_output=True, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if run.returncode != 0:
        print(f"discover_day: sigpat discover failed ({run.returncode}): {run.stderr.strip()}", file=sys.stderr)
        return 1
    audio = 0.0
    for path in hours:
        out = subprocess.run(["soxi", "-D", path], capture_output=True, text=True, check=True)
        audio += float(out.stdout)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    clips = sum(1 for line in run.stdout.splitlines() if line.strip())
    figures = {
        "inputs": len(hours),
        "audio_hours": round(audio / 3600.0, 2),
        "clips": clips,
        "cpu_seconds": round(cpu, 1),
        "wall_seconds": round(wall, 1),
        "speed_x_real_time": round(audio / cpu, 1) if cpu > 0 else None,
        "peak_rss_mb": round(after.ru_maxrss / 1024.0, 1),
        "summary": run.stderr.strip().splitlines()[-1] if run.stderr.strip() else "",
    }
    print(json.dumps(figures, indent=1))
    if not args.keep:
        for path in hours:
            os.remove(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
