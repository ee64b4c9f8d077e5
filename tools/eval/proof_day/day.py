#!/usr/bin/python3
"""A broadcast day for the proof-of-airing evaluation (tools/eval/proof_day/run.sh).

  day.py make WORK STATIONS HOURS   writes into WORK: spots/ (40 spots in 10 campaigns of 4
      versions, 2 jingles, 158 patterns' clips that never air: 200 clips of 4 s as WAV),
      catalogue.csv, schedule.csv (50 bookings per station, 500 for 10 stations),
      planted.json (what each booking must come out as, and the unbooked airings), and per
      station an HLS playlist (one MPEG-TS segment of MP2 audio, its program date-time the
      day's start) whose audio holds the airings the schedule plants;
  day.py span HOURS                 prints the day's span (from, to): what the reconciliation covers;
  day.py check WORK RECONCILED.csv  compares the reconciliation with planted.json: every planted
      status found, nothing else; prints the counts and exits 1 on any difference.

The audio is generated (a noise bed, spots of tone steps) and streamed to ffmpeg an hour at a
time, so a day of many stations needs no more memory than an hour of one.
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

    # The audio: an hour at a time into ffmpeg (MP2 in MPEG-TS, a station's HLS segment).
    # The bed: 61 s of noise over and over (generating an hour of fresh noise costs more than
    # the monitor's recognition of it).
    bed = np.random.default_rng(7).standard_normal(61 * RATE).astype(np.float32) * 1000
    for s in range(stations):
        station = f"S{s}"
        plan = sorted(airings[station])
        enc = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "s16le", "-ar", str(RATE), "-ac", "1",
                                "-i", "-", "-c:a", "mp2", "-b:a", "64k", "-f", "mpegts", f"{work}/{station}.ts"],
                               stdin=subprocess.PIPE)
        total = int(round((hours * 3600 + TAIL_S) * RATE))
        for h in range(0, (total + 3600 * RATE - 1) // (3600 * RATE)):
            offset = (h * 3600 * RATE + s * 7919) % len(bed)
            x = np.resize(np.roll(bed, -offset), min(3600 * RATE, total - h * 3600 * RATE))
            for at, name, part in plan:
                begin = int(at * RATE) - h * 3600 * RATE
                sound = sounds[name][:int(len(sounds[name]) * part)]
                if begin + len(sound) <= 0 or begin >= len(x):
                    continue
                lo, hi = max(0, begin), min(len(x), begin + len(sound))
                x[lo:hi] += sound[lo - begin:hi - begin]
            enc.stdin.write(np.clip(x, -32768, 32767).astype(np.int16).tobytes())
        enc.stdin.close()
        if enc.wait() != 0:
            sys.exit(f"day.py: ffmpeg failed on {station}")
        with open(f"{work}/{station}.m3u8", "w") as f:
            f.write(f"#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:{int(hours * 3600) + TAIL_S}\n#EXT-X-MEDIA-SEQUENCE:0\n"
                    f"#EXT-X-PROGRAM-DATE-TIME:{iso(0)}\n#EXTINF:{hours * 3600 + TAIL_S:.1f},\n{station}.ts\n#EXT-X-ENDLIST\n")


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
