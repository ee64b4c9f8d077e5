#!/usr/bin/env python3
"""What one core carries: `sigpat monitor` at market sizes.

  market_bench.py BUILD_DIR PATTERN_DIR [--stations 1,4,16] [--patterns 100,1000,5000]
                  [--repeat 3] [--setup 10000]

For each number of patterns P (the first P files of PATTERN_DIR, made by make_patterns.sh) and
stations S:
  - processor time per station-second: S stations of an MP3 file (sp_make_audio's streamA:
    48 kHz stereo, 128 kbit/s), read as fast as they decode, the monitor pinned to one core with one
    recognition thread; the difference between 40 s and 10 s of audio a station (user + system
    time of the whole process: decoding, resampling, recognition, decision layer; the set-up
    cancels out), divided by the 30 s x S of audio in between;
  - memory: S stations of the same stream served at real time on 127.0.0.1, the resident memory
    once every station recognizes (more than 2 s of audio, less than 0.5 s queued).
Medians of --repeat runs (processor time; memory is measured once). --memory-only: the resident
sizes alone.

--setup N: also the set-up of N pattern files from the self-calibration cache (a scan of 0.2 s of
audio: wall and processor time, peak memory), once with an empty cache and then warm.
Needs ffmpeg, taskset and python3; the self-calibration cache lives in a temporary directory.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "cli", "stream_server.py")
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def read_lines(path):
    try:
        with open(path) as f:
            return [json.loads(l) for l in f if l.strip()]
    except (OSError, ValueError):
        return []


def cpu_run(sigpat, plist, audio, stations, env):
    args = ["/usr/bin/time", "-f", "%U %S", "taskset", "-c", "1", sigpat, "monitor", "--patterns", plist,
            "--threads", "1", "--status", "/dev/null"]
    for s in range(stations):
        args += ["--station", "s%d=%s" % (s, audio)]
    t = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
    user, sys_ = t.stderr.strip().splitlines()[-1].split()
    return float(user) + float(sys_)


def memory_run(sigpat, plist, url, stations, work, env):
    status = os.path.join(work, "status.jsonl")
    if os.path.exists(status):
        os.remove(status)
    args = [sigpat, "monitor", "--patterns", plist, "--heartbeat", "1", "--status", status]
    for s in range(stations):
        args += ["--station", "s%d=%s" % (s, url)]
    mon = subprocess.Popen(args, stdout=subprocess.DEVNULL, env=env)
    try:
        for _ in range(3600):
            time.sleep(0.5)
            last = {}
            for b in read_lines(status):
                if b["event"] == "heartbeat":
                    last[b["station"]] = b
            if len(last) == stations and all(b["audio_s"] > 2 and b["queued_s"] < 0.5 for b in last.values()):
                break
        return status_kb(mon.pid, "VmRSS") / 1024.0
    finally:
        mon.terminate()
        mon.wait()


def setup_run(sigpat, plist, tiny, env):
    t = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", sigpat, "scan", "--patterns", plist, tiny],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
    wall, user, sys_, kb = t.stderr.strip().splitlines()[-1].split()
    return float(wall), float(user) + float(sys_), int(kb) / 1024.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("patterns")
    ap.add_argument("--stations", default="1,4,16")
    ap.add_argument("--patterns-counts", "--counts", dest="counts", default="100,1000,5000")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--setup", type=int, default=0)
    ap.add_argument("--memory-only", action="store_true", help="only the resident size (no processor runs)")
    a = ap.parse_args()
    sigpat = os.path.join(a.build, "tools", "sigpat")
    files = sorted((f for f in os.listdir(a.patterns) if f.endswith(".tvs")),
                   key=lambda f: (len(f), f))
    work = tempfile.mkdtemp()
    env = dict(os.environ, SIGNALPATTERN_CACHE=os.path.join(work, "cache"))
    server = None
    try:
        subprocess.run([os.path.join(a.build, "bench", "sp_make_audio"), work, "2"], check=True,
                       stdout=subprocess.DEVNULL)
        www = os.path.join(work, "www")
        os.makedirs(www)
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", os.path.join(work, "streamA.wav"),
                        "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0", "-write_xing", "0",
                        os.path.join(www, "radio.mp3")], check=True)
        short, long_ = os.path.join(work, "short.mp3"), os.path.join(work, "long.mp3")
        for path, seconds in ((short, 10), (long_, 40)):
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", os.path.join(www, "radio.mp3"), "-t",
                            str(seconds), "-c", "copy", path], check=True)
        portfile = os.path.join(work, "port")
        server = subprocess.Popen(["taskset", "-c", "0", sys.executable, SERVER, www, portfile, "--rate", "16000"])
        while not os.path.exists(portfile):
            time.sleep(0.05)
        url = "http://127.0.0.1:%s/live/radio.mp3" % open(portfile).read().strip()
        print("patterns stations  cpu s per station-s  stations per core  resident MB", flush=True)
        for p in [int(x) for x in a.counts.split(",")]:
            if p > len(files):
                print("%d patterns: only %d in %s; skipped" % (p, len(files), a.patterns))
                continue
            plist = os.path.join(work, "list%d" % p)
            with open(plist, "w") as f:
                f.write("".join(os.path.join(a.patterns, n) + "\n" for n in files[:p]))
            cpu_run(sigpat, plist, short, 1, env)  # fills the self-calibration cache
            for s in [int(x) for x in a.stations.split(",")]:
                per = []
                for _ in range(0 if a.memory_only else a.repeat):
                    per.append((cpu_run(sigpat, plist, long_, s, env) - cpu_run(sigpat, plist, short, s, env)) / (30.0 * s))
                cpu = statistics.median(per) if per else float("nan")
                mb = memory_run(sigpat, plist, url, s, work, env)
                print("%8d %8d  %19.5f  %17.1f  %11.0f" % (p, s, cpu, 1.0 / max(cpu, 1e-9), mb), flush=True)
        if a.setup:
            if a.setup > len(files):
                print("set-up: only %d patterns in %s; skipped" % (len(files), a.patterns))
                return
            plist = os.path.join(work, "setup")
            with open(plist, "w") as f:
                f.write("".join(os.path.join(a.patterns, n) + "\n" for n in files[:a.setup]))
            tiny = os.path.join(work, "tiny.wav")
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", os.path.join(work, "clip0.wav"), "-t",
                            "0.2", tiny], check=True)
            shutil.rmtree(env["SIGNALPATTERN_CACHE"], ignore_errors=True)
            for label in ("empty cache", "warm cache", "warm cache"):
                wall, cpu, mb = setup_run(sigpat, plist, tiny, env)
                print("set-up of %d patterns, %s: %.2f s wall, %.2f s processor, %.0f MB peak" %
                      (a.setup, label, wall, cpu, mb), flush=True)
    finally:
        if server:
            server.terminate()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
