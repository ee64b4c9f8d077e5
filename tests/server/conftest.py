"""Shared fixtures of the dashboard tests: a store filled by real `sigpat scan --db` runs over
generated audio, `sigpat serve` started on a free loopback port, and a headless chromium."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
import wave

import numpy as np
import pytest

RATE = 44100
SIGPAT = os.path.abspath(os.environ.get("SIGPAT_EXE", "sigpat"))
DAY = "2026-03-02"
# Names that must stay text wherever they are shown.
HOSTILE_PATTERN = "<img src=x onerror=alert(1)>"  # a file name: no slash
HOSTILE_SPOT = "<script>alert(1)</script>"          # the catalogue's spot ID of that pattern
HOSTILE_STATION = "Radio <b>One</b> & \"Two\""


def tone_steps(freqs, step=0.15, amp=0.5):
    return np.concatenate([amp * np.sin(2 * np.pi * f * np.arange(int(step * RATE)) / RATE) for f in freqs])


def sweeps(count=3, amp=0.5):
    one = amp * np.sin(2 * np.pi * np.cumsum(np.linspace(250, 4500, int(0.45 * RATE))) / RATE)
    return np.concatenate([one] * count)


def write_wav(path, x):
    samples = np.clip(np.round(np.asarray(x) * 32768), -32768, 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.tobytes())
    return str(path)


def recording(seconds, clips, seed, every=9.7):
    """Quiet noise with the clips in turn every `every` seconds from 2 s."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-0.03, 0.03, int(seconds * RATE))
    for k, at in enumerate(np.arange(2.0, seconds - 3.0, every)):
        clip = clips[k % len(clips)]
        i = int(at * RATE)
        x[i:i + len(clip)] += clip[: len(x) - i]
    return x


def run(*args, check=True):
    return subprocess.run([SIGPAT, *map(str, args)], capture_output=True, text=True, check=check, timeout=120)


def scan_into(db, pats, wav, station, start):
    """`sigpat scan --db` of a recording as the given station, starting at UTC `start`, with the
    catalogue beside the patterns; returns the JSON detections it printed."""
    out = run("scan", "--json", "-q", "--db", db, "--catalogue", os.path.join(pats, "catalogue.csv"), "--label", station,
              "--start-utc", start, "-p", pats, wav).stdout
    return [json.loads(line) for line in out.splitlines()]


class Corpus:
    pass


@pytest.fixture(scope="session")
def corpus(tmp_path_factory):
    """Two patterns (one named like a script tag) and recordings of three stations scanned into
    one SQLite store; evidence/ holds an audio file the first detection points at."""
    d = tmp_path_factory.mktemp("dashboard")
    c = Corpus()
    c.dir = d
    c.pats = d / "pats"
    c.pats.mkdir()
    c.chime, c.rise = tone_steps([523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093]), sweeps()
    for name, clip in ((HOSTILE_PATTERN, c.chime), ("rise", c.rise)):
        write_wav(d / "clip.wav", clip)
        run("create", d / "clip.wav", "-o", c.pats / f"{name}.tvs")
    (c.pats / "catalogue.csv").write_text(
        "file,spot_id,advertiser,campaign,version,title\n"
        f'"{HOSTILE_PATTERN}.tvs","{HOSTILE_SPOT}","Acme & <Sons>",Spring,v1,"Chime, ""loud"""\n'
        "rise.tvs,RISE-1,Beta Corp,Summer,v2,Rise\n")
    c.db = str(d / "store.db")
    c.detections = {}
    for k, station in enumerate([HOSTILE_STATION, "Beta FM", "Gamma"]):
        wav = write_wav(d / f"rec{k}.wav", recording(40, [c.chime, c.rise][k % 2:] + [c.chime], seed=k + 1))
        c.detections[station] = scan_into(c.db, c.pats, wav, station, f"{DAY}T{k + 8:02d}:00:00Z")
    c.evidence = d / "evidence"
    c.evidence.mkdir()
    write_wav(c.evidence / "tone.wav", 0.3 * np.sin(2 * np.pi * 440 * np.arange(3 * RATE) / RATE))
    set_evidence(c.db, "tone.wav")
    (d / "secret.txt").write_text("not for the web\n")
    return c


def set_evidence(db, name):
    """Points every detection without evidence at `name` (until the evidence writer fills it)."""
    import sqlite3
    con = sqlite3.connect(db, timeout=10)
    with con:
        con.execute("UPDATE detections SET evidence = ? WHERE evidence IS NULL OR evidence = ''", (name,))
    con.close()


class Server:
    def __init__(self, args):
        self.proc = subprocess.Popen([SIGPAT, "serve", *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"on (http://[^ ]+/)", line)
        if not m:
            self.proc.kill()
            raise RuntimeError("sigpat serve did not start: " + line + self.proc.stderr.read())
        self.url = m.group(1)

    def get(self, path, headers=None, method="GET", data=None):
        """(status, headers, body bytes) of a request, errors included."""
        req = urllib.request.Request(self.url + path.lstrip("/"), headers=headers or {}, method=method, data=data)
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def json(self, path, headers=None):
        status, _, body = self.get(path, headers)
        return status, json.loads(body)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def serve():
    """Starts `sigpat serve --listen 127.0.0.1:0 ARGS...` and stops it after the test."""
    started = []

    def start(*args):
        s = Server(["--listen", "127.0.0.1:0", *args])
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


@pytest.fixture(scope="session")
def chromium():
    """A headless chromium through chromedriver (Debian chromium, chromium-driver, python3-selenium)."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        pytest.skip("browser tests skipped: python3-selenium is not installed (apt-get install python3-selenium)")
    binary, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not binary or not driver:
        pytest.skip("browser tests skipped: chromium or chromedriver not found (apt-get install chromium chromium-driver)")
    profile = tempfile.mkdtemp(prefix="sigpat-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for a in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
              "--autoplay-policy=no-user-gesture-required", "--window-size=1200,900", "--mute-audio"]:
        options.add_argument(a)
    try:
        browser = webdriver.Chrome(service=Service(driver), options=options)
    except Exception as e:  # noqa: BLE001 - any failure to start means no browser here
        shutil.rmtree(profile, ignore_errors=True)
        pytest.skip("browser tests skipped: chromium cannot start here: " + str(e).splitlines()[0])
    yield browser
    browser.quit()
    shutil.rmtree(profile, ignore_errors=True)


def wait_for(condition, timeout, step=0.05):
    """Polls condition() until it is true (returned) or timeout seconds pass (None)."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


def schedule_text():
    """A schedule over the corpus: Beta FM's first rise booked in its window (aired), a booking
    that nothing matches (not aired), and two refused rows (unknown station, reversed window)."""
    return ("station,spot,window_start,window_end\r\n"
            f"Beta FM,RISE-1,{DAY}T09:00:00Z,{DAY}T09:00:10Z\r\n"
            f"Beta FM,RISE-1,{DAY}T20:00:00Z,{DAY}T20:30:00Z\r\n"
            f"Nowhere FM,RISE-1,{DAY}T09:00:00Z,{DAY}T09:10:00Z\r\n"
            f"Gamma,rise.tvs,{DAY}T11:00:00Z,{DAY}T10:00:00Z\r\n")
