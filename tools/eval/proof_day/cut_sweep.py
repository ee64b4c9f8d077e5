#!/usr/bin/python3
"""Spots cut short under a bed: how many sigpat scan finds, and with what fraction heard.

  cut_sweep.py SIGPAT WORK

12 spots of 4 s of tone steps (day.py's, seeds 0-11) are made into patterns (sigpat create, with
their detail prints), then aired 12 s apart over day.py's noise bed, cut after 55, 60, ... 90 %
and whole, one WAV per fraction in WORK. Each is scanned (sigpat scan --json) and a spot counts as
found when a report of its pattern begins within 0.5 s of its airing. Prints per fraction the
spots found of 12 and how many of them report the fraction heard within 0.05, and for the whole
spots the end error (median, max). Generated audio stays in WORK (never in git).
"""
import json
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import day  # noqa: E402

RATE = day.RATE
CUTS = [55, 60, 65, 70, 75, 80, 85, 90, 100]
SPOTS, GAP, LEAD = 12, 12.0, 3.0


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: cut_sweep.py SIGPAT WORK")
    sigpat, work = sys.argv[1], sys.argv[2]
    os.makedirs(f"{work}/spots", exist_ok=True)
    os.makedirs(f"{work}/patterns", exist_ok=True)
    sounds = [day.clip(i) for i in range(SPOTS)]
    for i, s in enumerate(sounds):
        day.write_wav(f"{work}/spots/s{i:02d}.wav", s)
        subprocess.run([sigpat, "-q", "create", f"{work}/spots/s{i:02d}.wav", "-o", f"{work}/patterns/s{i:02d}.tvs"],
                       check=True, stdout=subprocess.DEVNULL)
    bed = np.random.default_rng(7).standard_normal(int((SPOTS * GAP + 2 * LEAD) * RATE)).astype(np.float32) * 1000
    print("cut after  found  fraction within 0.05")
    for cut in CUTS:
        x = bed.copy()
        for i, s in enumerate(sounds):
            at = int((LEAD + i * GAP) * RATE)
            part = s[:int(len(s) * cut / 100)]
            x[at:at + len(part)] += part
        wav = f"{work}/cut{cut}.wav"
        day.write_wav(wav, x)
        out = subprocess.run([sigpat, "scan", "-p", f"{work}/patterns", "--json", wav], check=True,
                             capture_output=True, text=True).stdout
        found, within, ends = set(), 0, []
        for line in out.splitlines():
            d = json.loads(line)
            i = int(d["name"][1:3])
            if abs(d["begin"] / RATE - (LEAD + i * GAP)) >= 0.5 or i in found:
                continue
            found.add(i)
            within += abs(d.get("seen", 1.0) - cut / 100) <= 0.05
            ends.append(abs(d["end"] / RATE - (LEAD + i * GAP) - len(sounds[i]) / RATE) * 1000)
        line = f"{cut:>8} %  {len(found):>5}  {within:>5}"
        if cut == 100 and ends:
            line += f"   end of whole spots: median {np.median(ends):.1f} ms, max {max(ends):.1f} ms"
        print(line)


if __name__ == "__main__":
    main()
