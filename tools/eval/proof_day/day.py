#!/usr/bin/python3
"""A broadcast day for the proof-of-airing evaluation (tools/eval/proof_day/run.sh).

  day.py make WORK STATIONS HOURS   writes into WORK: spots/ (40 spots in 10 campaigns of 4
      versions, 2 jingles, 158 patterns' clips that never air: 200 clips of 4 s as WAV),
      catalogue.csv, schedule.csv (50 bookings per station, 500 for 10 stations),
      planted.json (what each booking must come out as, and the unbooked airings), and per
      station an HLS playlist of MPEG-TS segments of MP2 audio, each with its program
      date-time, that holds the airings the schedule plants (bed/ and STATION/: the segments);
  day.py span HOURS                 prints the day's span (from, to): what the reconciliation covers;
  day.py check WORK RECONCILED.csv  compares the reconciliation with planted.json: every planted
      status found, nothing else; prints the counts and exits 1 on any difference.

The audio is generated (a noise bed, spots of tone steps). Only the segments around airings are
made for a station; the bed between them reuses a few segments encoded once, so a day of 24 h
costs about what its 5 hours of airings' cells cost, not 240 hours of audio.
"""
import csv
import json
import os
import subprocess
import sys
import wave
from datetime import datetime, timedelta, timezone

import numpy as np

RATE = 44100
DAY0 = datetime(2026, 12, 7, tzinfo=timezone.utc)
BOOKINGS_PER_STATION = 50
SPOTS, JINGLES, OTHERS = 40, 2, 158
CLIP_S = 4.0
TAIL_S = 30  # audio after the last slot: the last airings are decided before the stream ends
CELL_S = 32  # segments are whole cells: 32 s at 44.1 kHz are 1225 MP2 frames of 1152 samples
BED_SIZES = 7  # pre-encoded bed segments of 1, 2, 4, ... 64 cells
MARGIN_S = 2.0  # an airing's cells reach this far before and after it


def clip(seed):
    """4 s of tone steps (0.1-0.4 s at 200-4500 Hz), a sound of its own per seed."""
    rng = np.random.default_rng(1000 + seed)
    out = np.zeros(int(CLIP_S * RATE), dtype=np.float32)
    at, phase = 0, 0.0
    while at < len(out):
        n = int((0.1 + 0.3 * rng.random()) * RATE)
        f = 200 + 4300 * rng.random()
        a = 6000 + 6000 * rng.random()
        t = np.arange(min(n, len(out) - at))
        out[at:at + len(t)] = a * np.sin(phase + 2 * np.pi * f * t / RATE)
        phase += 2 * np.pi * f * len(t) / RATE
        at += len(t)
    return out


def iso(seconds):
    return (DAY0 + timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def when(text):
    return datetime.fromisoformat(text.replace("Z", "+00:00"))


def write_wav(path, x):
    with wave.open(path, "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(RATE)
        w.writeframes(np.clip(x, -32768, 32767).astype(np.int16).tobytes())


def make(work, stations, hours):
    os.makedirs(f"{work}/spots", exist_ok=True)
    names = [f"ad{i}" for i in range(SPOTS)] + [f"jingle{i}" for i in range(JINGLES)] + [f"other{i}" for i in range(OTHERS)]
    sounds = {}
    for i, name in enumerate(names):
        sounds[name] = clip(i)
        write_wav(f"{work}/spots/{name}.wav", sounds[name])
    with open(f"{work}/catalogue.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["file", "spot_id", "advertiser", "campaign", "version", "title"])
        for i in range(SPOTS):
            w.writerow([f"ad{i}.tvs", f"AD{i}", f"Advertiser {i // 8}", f"Campaign {i // 4}", f"v{i % 4}", f"Spot {i}"])
        # Jingles with a spot ID: an airing nobody booked is listed as unbooked.
        for i in range(JINGLES):
            w.writerow([f"jingle{i}.tvs", f"JINGLE{i}", "The station", "", "", f"Jingle {i}"])

    # Each station's day in 50 slots; booking k's window is the second quarter of slot k. What
    # airs is planted by (k + station) % 10.
    slot = hours * 3600.0 / BOOKINGS_PER_STATION
    bookings, airings, planted, unbooked = [], {}, {}, []
    line = 2
    for s in range(stations):
        station = f"S{s}"
        airings[station] = []
        for k in range(BOOKINGS_PER_STATION):
            spot = (s * 7 + k) % SPOTS
            start, end = k * slot + 0.25 * slot, k * slot + 0.5 * slot
            middle = (start + end) / 2
            bookings.append([station, f"AD{spot}", iso(start), iso(end)])
            kind = (k + s) % 10
            if kind == 4:  # late: a sixth of a slot after the window
                airings[station].append((end + slot / 6, f"ad{spot}", 1.0))
                planted[line] = {"status": "aired_outside_window", "offset_s": slot / 6}
            elif kind == 5:
                planted[line] = {"status": "not_aired"}
            elif kind == 6:  # another version of the campaign
                other = (spot // 4) * 4 + (spot % 4 + 1) % 4
                airings[station].append((middle, f"ad{other}", 1.0))
                planted[line] = {"status": "wrong_version", "detected_spot": f"AD{other}"}
            elif kind == 7:  # cut after 55 % of the spot
                airings[station].append((middle, f"ad{spot}", 0.55))
                planted[line] = {"status": "truncated"}
            else:
                airings[station].append((middle, f"ad{spot}", 1.0))
                planted[line] = {"status": "aired"}
                if kind == 9:  # and a jingle nobody booked, after the window
                    at = k * slot + 0.7 * slot
                    airings[station].append((at, f"jingle{k % JINGLES}", 1.0))
                    unbooked.append({"station": station, "spot": f"JINGLE{k % JINGLES}", "at": iso(at)})
            line += 1
    with open(f"{work}/schedule.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["station", "spot", "window_start", "window_end"])
        w.writerows(bookings)
    with open(f"{work}/planted.json", "w") as f:
        json.dump({"bookings": planted, "unbooked": unbooked, "slack_s": slot / 3, "hours": hours,
                   "stations": stations, "airings": sum(len(a) for a in airings.values())}, f)

    # The audio: per station an HLS playlist of segments of whole cells of CELL_S seconds, each
    # with its own program date-time. Cells that hold (part of) an airing are made for the
    # station, a run of such cells in one segment, all of a station's in one ffmpeg; the bed
    # between them is a few pre-encoded segments of 1, 2, 4, ... cells of noise, hard-linked
    # under a name of their own for every place they fill (the stream clock tells segments
    # apart by their URIs). Each segment's timestamps start again: a discontinuity, marked.
    bed = np.random.default_rng(7).standard_normal(61 * RATE).astype(np.float32) * 1000
    cell = CELL_S * RATE
    cells = int(np.ceil((hours * 3600 + TAIL_S) / CELL_S))
    sizes = [1 << i for i in range(BED_SIZES)]
    os.makedirs(f"{work}/bed", exist_ok=True)
    encode([np.resize(bed, sum(sizes) * cell)], [n * cell for n in sizes], f"{work}/bed/b%d.ts")
    for s in range(stations):
        station = f"S{s}"
        plan = sorted(airings[station])
        marked = set()
        for at, name, part in plan:
            first = int(max(0.0, at - MARGIN_S) // CELL_S)
            last = int((at + CLIP_S * part + MARGIN_S) // CELL_S)
            marked.update(range(first, min(last, cells - 1) + 1))
        runs = []  # (first cell, cells, made for the station)
        c = 0
        while c < cells:
            n = 1
            while c + n < cells and ((c + n) in marked) == (c in marked):
                n += 1
            if c in marked:
                runs.append((c, n, True))
            else:  # the bed: the largest pre-encoded pieces first
                at = c
                while at < c + n:
                    size = max(z for z in sizes if z <= c + n - at)
                    runs.append((at, size, False))
                    at += size
            c += n
        os.makedirs(f"{work}/{station}", exist_ok=True)
        made = [r for r in runs if r[2]]

        def audio():
            for first, n, _ in made:
                offset = (first * cell + s * 7919) % len(bed)
                x = np.resize(np.roll(bed, -offset), n * cell)
                for at, name, part in plan:
                    begin = int(at * RATE) - first * cell
                    sound = sounds[name][:int(len(sounds[name]) * part)]
                    if begin + len(sound) <= 0 or begin >= len(x):
                        continue
                    lo, hi = max(0, begin), min(len(x), begin + len(sound))
                    x[lo:hi] += sound[lo - begin:hi - begin]
                yield x
        encode(audio(), [n * cell for _, n, _ in made], f"{work}/{station}/a%d.ts")
        lines = ["#EXTM3U", "#EXT-X-VERSION:3", f"#EXT-X-TARGETDURATION:{sizes[-1] * CELL_S}", "#EXT-X-MEDIA-SEQUENCE:0"]
        k = 0
        for i, (first, n, own) in enumerate(runs):
            if own:
                uri = f"{station}/a{k}.ts"
                k += 1
            else:
                uri = f"{station}/b{i}.ts"
                os.link(f"{work}/bed/b{sizes.index(n)}.ts", f"{work}/{uri}")
            if i > 0:
                lines.append("#EXT-X-DISCONTINUITY")
            lines += [f"#EXT-X-PROGRAM-DATE-TIME:{iso(first * CELL_S)}", f"#EXTINF:{n * CELL_S:.1f},", uri]
        with open(f"{work}/{station}.m3u8", "w") as f:
            f.write("\n".join(lines + ["#EXT-X-ENDLIST", ""]))


def encode(pieces, lengths, pattern):
    """The audio of `pieces` (arrays, one after the other) as MP2 in MPEG-TS, cut into segments of `lengths` samples (whole MP2 frames: CELL_S
    makes them so) named by `pattern`, each with timestamps of its own."""
    times = ",".join(f"{t / RATE:.6f}" for t in np.cumsum(lengths)[:-1]) or str(sum(lengths) / RATE + 1)
    enc = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "s16le", "-ar", str(RATE), "-ac", "1",
                            "-i", "-", "-c:a", "mp2", "-b:a", "64k", "-f", "segment", "-segment_format", "mpegts",
                            "-segment_times", times, "-reset_timestamps", "1", pattern], stdin=subprocess.PIPE)
    for x in pieces:
        enc.stdin.write(np.clip(x, -32768, 32767).astype(np.int16).tobytes())
    enc.stdin.close()
    if enc.wait() != 0:
        sys.exit(f"day.py: ffmpeg failed on {pattern}")


def check(work, reconciled):
    with open(f"{work}/planted.json") as f:
        planted = json.load(f)
    want = {int(k): v for k, v in planted["bookings"].items()}
    with open(f"{work}/schedule.csv", newline="") as f:
        lines = {(r[0], r[1], when(r[2]), when(r[3])): i + 2 for i, r in enumerate(list(csv.reader(f))[1:])}
    problems, counts, unbooked = [], {}, []
    with open(reconciled, newline="") as f:
        for r in csv.DictReader(f):
            counts[r["status"]] = counts.get(r["status"], 0) + 1
            if r["status"] == "unbooked":
                unbooked.append(r)
                continue
            line = lines.get((r["station"], r["spot"], when(r["window_start"]), when(r["window_end"])))
            if line is None:
                problems.append(f"a row for no booking: {r}")
                continue
            w = want.pop(line, None)
            if w is None:
                problems.append(f"line {line} reported twice")
                continue
            if r["status"] != w["status"]:
                problems.append(f"line {line}: {r['status']}, planted {w['status']}")
            elif "offset_s" in w and abs(float(r["offset_s"]) - w["offset_s"]) > 1.0:
                problems.append(f"line {line}: offset {r['offset_s']} s, planted {w['offset_s']:.1f} s")
            elif "detected_spot" in w and r["detected_spot"] != w["detected_spot"]:
                problems.append(f"line {line}: {r['detected_spot']} aired, planted {w['detected_spot']}")
    problems += [f"line {line}: no row (planted {w['status']})" for line, w in want.items()]
    expected = list(planted["unbooked"])
    for r in unbooked:
        at = when(r["aired_start"])
        match = [u for u in expected if u["station"] == r["station"] and u["spot"] == r["detected_spot"] and
                 abs((at - when(u["at"])).total_seconds()) < 1.0]
        if match:
            expected.remove(match[0])
        else:
            problems.append(f"unbooked airing not planted: {r['station']} {r['detected_spot']} {r['aired_start']}")
    problems += [f"planted unbooked airing not found: {u}" for u in expected]
    print("reconciliation: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    for p in problems[:40]:
        print("  " + p)
    print(f"planted discrepancies: {'all found, nothing else' if not problems else str(len(problems)) + ' differences'}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    elif len(sys.argv) == 3 and sys.argv[1] == "span":
        print(iso(0), iso(float(sys.argv[2]) * 3600 + TAIL_S))
    elif len(sys.argv) == 4 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
