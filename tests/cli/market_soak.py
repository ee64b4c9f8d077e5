#!/usr/bin/env python3
"""A market misbehaving at once: 50 stations served on 127.0.0.1 to one `sigpat monitor`.

  market_soak.py SIGPAT FFMPEG WORKDIR [--seconds 90]

30 healthy stations (an MP3 radio stream at real time with a clip every 16 s, stream_server.py),
4 on a server that is killed and restarted every 20 s, and 16 hostile ones, two of each: a stream
that stalls mid-way, an HLS playlist cut off mid-line, HLS segments of garbage, a redirect to
itself, headers without end, ICY metadata floods, a stream that switches codec and sample rate
every 4 s, and a server that accepts and says nothing. Checks when it is over (exit 1 and a line
naming what failed otherwise): every healthy station reported every clip that aired in full
and never fell behind or dropped audio; the resident memory stayed flat (after the first 30 s the
later half's peak within 25 % + 30 MB of the earlier half's); every troubled station has status
events that tell its problem (ICY floods and codec switches may instead be decoded through); the monitor stopped cleanly on SIGTERM.
"""
import argparse
import http.server
import json
import math
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
RATE = 44100
PERIOD = 16.0   # the stream loops every 16 s
CLIP_AT = 5.0   # the clip begins 5 s into each loop


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, int(x * 32767)))) for x in samples))


def clip():
    freqs = [330, 2960, 1175, 370, 1480, 740, 2490, 523, 1865, 415, 3520, 622]
    out = []
    for f in freqs:
        for i in range(int(0.25 * RATE)):
            out.append(0.5 * math.sin(2 * math.pi * f * i / RATE))
    return out


def make_audio(ffmpeg, sigpat, work):
    rnd = random.Random(7)
    c = clip()
    stream = [0.05 * (rnd.random() - 0.5) for _ in range(int(PERIOD * RATE))]
    at = int(CLIP_AT * RATE)
    for i, x in enumerate(c):
        stream[at + i] += x
    write_wav(os.path.join(work, "clip.wav"), c)
    write_wav(os.path.join(work, "stream.wav"), stream)
    run = lambda *a: subprocess.run([ffmpeg, "-nostdin", "-loglevel", "error", "-y", *a], check=True)
    www = os.path.join(work, "www")
    os.makedirs(os.path.join(www, "hls"), exist_ok=True)
    src = os.path.join(work, "stream.wav")
    mp3 = ["-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0", "-write_xing", "0"]
    run("-i", src, *mp3, os.path.join(www, "radio.mp3"))
    run("-i", src, "-ar", "22050", *mp3, os.path.join(work, "radio22.mp3"))
    run("-i", src, "-c:a", "aac", "-b:a", "96k", "-f", "adts", os.path.join(work, "radio.aac"))
    run("-i", src, "-c:a", "aac", "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod",
        os.path.join(www, "hls", "s.m3u8"))
    playlist = open(os.path.join(www, "hls", "s.m3u8")).read()
    with open(os.path.join(www, "hls", "cut.m3u8"), "w") as f:
        f.write(playlist[: len(playlist) // 2 + 3])  # cut off mid-line
    with open(os.path.join(www, "hls", "junk.m3u8"), "w") as f:
        f.write(playlist.replace("s0.ts", "junk0.ts").replace("s1.ts", "junk1.ts").replace(".ts", ".ts?x"))
    for k in range(2):
        with open(os.path.join(www, "hls", "junk%d.ts" % k), "wb") as f:
            f.write(bytes(rnd.randrange(256) for _ in range(20000)))
    r = subprocess.run([sigpat, "-q", "create", os.path.join(work, "clip.wav"), "-o", os.path.join(work, "clip.tvs")],
                       capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("market_soak: cannot make the pattern: " + r.stderr.strip())


def hostile_server(work):
    radio = open(os.path.join(work, "www", "radio.mp3"), "rb").read()
    other = [open(os.path.join(work, "radio22.mp3"), "rb").read(), open(os.path.join(work, "radio.aac"), "rb").read()]

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *a):
            pass

        def paced(self, chunks, seconds=None):
            start, sent = time.monotonic(), 0
            while seconds is None or time.monotonic() - start < seconds:
                for data in chunks:
                    for at in range(0, len(data), 4096):
                        self.wfile.write(data[at:at + 4096])
                        sent += min(4096, len(data) - at)
                        ahead = sent / 16000.0 - (time.monotonic() - start)
                        if ahead > 0:
                            time.sleep(ahead)

        def do_GET(self):
            try:
                kind = self.path.strip("/").split("/")[0]
                if kind == "redirect":
                    self.send_response(302)
                    self.send_header("Location", self.path)
                    self.end_headers()
                elif kind == "headers":
                    self.send_response(200)
                    for i in range(10 ** 6):
                        self.wfile.write(b"X-Pad-%d: %s\r\n" % (i, b"y" * 200))
                        time.sleep(0.002)
                elif kind == "stall":
                    self.send_response(200)
                    self.send_header("Content-Type", "audio/mpeg")
                    self.end_headers()
                    self.paced([radio[: 16000 * 3]], 3.0)
                    time.sleep(3600)
                elif kind == "icy":
                    self.send_response(200)
                    self.send_header("Content-Type", "audio/mpeg")
                    self.send_header("icy-metaint", "256")
                    self.end_headers()
                    meta = bytes([255]) + (b"StreamTitle='" + b"z" * 4000 + b"';").ljust(255 * 16, b"\0")
                    blocks = [radio[at:at + 256] + meta for at in range(0, len(radio) - 256, 256)]
                    self.paced(blocks)
                elif kind == "switch":
                    self.send_response(200)
                    self.send_header("Content-Type", "audio/mpeg")
                    self.end_headers()
                    self.paced([radio[: 16000 * 4], other[0][: 16000 * 4], other[1][: 12000 * 4]])
                else:
                    self.send_error(404)
            except OSError:
                pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def silent_server():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    held = []

    def accept():
        while True:
            try:
                held.append(s.accept()[0])  # accepted and never answered
            except OSError:
                return
    threading.Thread(target=accept, daemon=True).start()
    return s


def stream_server(work, name):
    """Starts stream_server.py: on a free port, or again on the port it had. Another process may
    have taken that port meanwhile (tests run side by side): it is tried for 10 s, and then the
    server stays down (None) rather than the soak waiting for it for ever."""
    portfile = os.path.join(work, name)
    if os.path.exists(portfile):
        port = open(portfile).read().strip()
        os.remove(portfile)
    else:
        port = "0"
    deadline = time.time() + 10.0
    while True:
        p = subprocess.Popen([sys.executable, os.path.join(HERE, "stream_server.py"), os.path.join(work, "www"), portfile,
                              "--port", port, "--rate", "16000"], stderr=subprocess.DEVNULL)
        while not os.path.exists(portfile) and p.poll() is None:
            time.sleep(0.05)
        if os.path.exists(portfile):
            return p, open(portfile).read().strip()
        if time.time() > deadline:
            print("market_soak: port %s is taken by another process: its server stays down" % port, file=sys.stderr)
            with open(portfile, "w") as f:
                f.write(port)
            return None, port
        time.sleep(0.5)


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("sigpat")
    ap.add_argument("ffmpeg")
    ap.add_argument("work")
    ap.add_argument("--seconds", type=float, default=90.0)
    a = ap.parse_args()
    shutil.rmtree(a.work, ignore_errors=True)  # nothing of an earlier run (status lines are appended)
    os.makedirs(a.work)
    make_audio(a.ffmpeg, a.sigpat, a.work)
    healthy, healthy_port = stream_server(a.work, "healthy.port")
    restarting, restart_port = stream_server(a.work, "restart.port")
    hostile = hostile_server(a.work)
    silent = silent_server()
    hp, sp = hostile.server_address[1], silent.getsockname()[1]
    stations = {}
    for i in range(30):
        stations["ok%02d" % i] = "http://127.0.0.1:%s/live/radio.mp3" % healthy_port
    for i in range(4):
        stations["restart%d" % i] = "http://127.0.0.1:%s/live/radio.mp3" % restart_port
    for i in range(2):
        stations["stall%d" % i] = "http://127.0.0.1:%d/stall/r.mp3" % hp
        stations["hlscut%d" % i] = "http://127.0.0.1:%s/hls/cut.m3u8" % healthy_port
        stations["hlsjunk%d" % i] = "http://127.0.0.1:%s/hls/junk.m3u8" % healthy_port
        stations["redirect%d" % i] = "http://127.0.0.1:%d/redirect/r.mp3" % hp
        stations["headers%d" % i] = "http://127.0.0.1:%d/headers/r.mp3" % hp
        stations["icy%d" % i] = "http://127.0.0.1:%d/icy/r.mp3" % hp
        stations["switch%d" % i] = "http://127.0.0.1:%d/switch/r.mp3" % hp
        stations["silent%d" % i] = "http://127.0.0.1:%d/x.mp3" % sp
    listing = os.path.join(a.work, "stations.txt")
    with open(listing, "w") as f:
        f.write("".join("%s %s\n" % kv for kv in stations.items()))
    status = os.path.join(a.work, "status.jsonl")
    out = open(os.path.join(a.work, "detections.jsonl"), "w")
    mon = subprocess.Popen([a.sigpat, "monitor", "-p", os.path.join(a.work, "clip.tvs"), "--stations", listing, "--json",
                            "--heartbeat", "5", "--status", status, "--timeout", "4", "--retry", "0.5", "--retry-max",
                            "4"], stdout=out, stderr=subprocess.PIPE, text=True)
    started = time.time()
    samples = []  # (seconds since start, resident MB)
    next_restart = started + 20.0
    problems = []
    try:
        while time.time() - started < a.seconds:
            time.sleep(1.0)
            if mon.poll() is not None:
                problems.append("the monitor exited early with %d: %s" % (mon.returncode, mon.stderr.read()[-500:]))
                break
            samples.append((time.time() - started, rss_mb(mon.pid)))
            if time.time() >= next_restart:
                if restarting is not None:
                    restarting.kill()
                    restarting.wait()
                time.sleep(1.0)
                restarting, _ = stream_server(a.work, "restart.port")
                next_restart += 20.0
        ended = time.time()
        if mon.poll() is None:
            mon.terminate()
            try:
                code = mon.wait(60)
                if code != 143:
                    problems.append("the monitor ended with %d on SIGTERM: %s" % (code, mon.stderr.read()[-500:]))
            except subprocess.TimeoutExpired:
                mon.kill()
                problems.append("the monitor did not stop within 60 s of SIGTERM")
    finally:
        for p in (healthy, restarting):
            if p is not None:
                p.kill()
        hostile.shutdown()
        silent.close()
        out.close()
    lines = [json.loads(l) for l in open(status) if l.strip()]
    events = {}
    for l in lines:
        events.setdefault(l.get("station", ""), []).append(l)
    found = {}
    for l in open(os.path.join(a.work, "detections.jsonl")):
        if l.strip():
            d = json.loads(l)
            found.setdefault(d["input"], []).append(d)
    for label in stations:
        mine = events.get(label, [])
        kinds = {e["event"] for e in mine}
        if label.startswith("ok"):
            connected = [e for e in mine if e["event"] == "connected"]
            if len(connected) != 1 or kinds & {"behind", "dropped", "disconnected", "gap"}:
                problems.append("%s: a healthy station was troubled: %s" % (label, sorted(kinds)))
                continue
            # Clips that aired in full and were decided on before the stop (one pattern length after).
            heard = max(e.get("audio_s", 0.0) for e in mine if e["event"] in ("heartbeat", "finished"))
            expected = int((heard - CLIP_AT - 4.0 - 1.0) // PERIOD) + 1 if heard > CLIP_AT + 5.0 else 0
            got = found.get(label, [])
            if len(got) < expected:
                problems.append("%s: %d detections of %d clips (%.1f s heard)" % (label, len(got), expected, heard))
            # At the clip of each pass: the first at CLIP_AT, then one loop apart (the MP3's loop
            # is a little longer than the 16 s encoded: its last frame is padded).
            begins = [d["begin_s"] for d in got]
            steps = [b - a for a, b in zip(begins, begins[1:])]
            if begins and (abs(begins[0] - CLIP_AT) > 0.1 or any(abs(x - steps[0]) > 0.05 or abs(x - PERIOD) > 0.2
                                                                   for x in steps)):
                problems.append("%s: detections out of place: %s" % (label, begins))
        elif label.startswith("restart"):
            if "gap" not in kinds or "disconnected" not in kinds:
                problems.append("%s: the restarts were not told: %s" % (label, sorted(kinds)))
        elif label.startswith(("icy", "switch")):
            # Decoded through (metadata skipped, the codec followed) or told as trouble.
            heard = max([e.get("audio_s", 0.0) for e in mine if e["event"] in ("heartbeat", "finished")] or [0.0])
            if heard < 0.5 * (ended - started) and not kinds & {"disconnected", "no_data", "failed", "ended"}:
                problems.append("%s: %.1f s of audio and no trouble told: %s" % (label, heard, sorted(kinds)))
        elif not kinds & {"disconnected", "no_data", "failed", "ended", "gap"}:
            problems.append("%s: its trouble was never told: %s" % (label, sorted(kinds)))
    warm = [mb for t, mb in samples if t >= 30.0]
    if len(warm) >= 4:
        first, second = warm[: len(warm) // 2], warm[len(warm) // 2:]
        if max(second) > max(first) * 1.25 + 30.0:
            problems.append("memory grew: %.0f MB peak after %.0f MB" % (max(second), max(first)))
    total = sum(len(v) for k, v in found.items() if k.startswith("ok"))
    half = len(warm) // 2
    print("market_soak: %d stations, %.0f s, %d detections of the healthy stations, %d status lines, resident "
          "%.0f to %.0f MB after the first 30 s (peak %.0f MB in the earlier half, %.0f MB in the later)"
          % (len(stations), ended - started, total, len(lines), min(warm or [0]), max(warm or [0]),
             max(warm[:half] or [0]), max(warm[half:] or [0])))
    for p in problems:
        print("market_soak: " + p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
