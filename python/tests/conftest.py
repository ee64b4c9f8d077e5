"""Shared audio and helpers of the Python tests: generated clips and streams (written as WAV
files with the standard library), and sigpat itself as the reference."""
import json
import os
import subprocess
import wave

import numpy as np
import pytest

RATE = 44100
SIGPAT = os.path.abspath(os.environ["SIGPAT_EXE"]) if "SIGPAT_EXE" in os.environ else "sigpat"


def tone_steps(freqs, step=0.15, rate=RATE, amp=0.5):
    return np.concatenate([amp * np.sin(2 * np.pi * f * np.arange(int(step * rate)) / rate) for f in freqs])


def sweeps(rate=RATE, count=3, amp=0.5):
    one = amp * np.sin(2 * np.pi * np.cumsum(np.linspace(250, 4500, int(0.45 * rate))) / rate)
    return np.concatenate([one] * count)


def to_int16(x):
    return np.clip(np.round(np.asarray(x) * 32768), -32768, 32767).astype("<i2")


def write_wav(path, samples, rate=RATE):
    """Writes int16 samples, (frames,) or (frames, channels), as a WAV file; returns the path."""
    samples = np.asarray(samples, dtype="<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1 if samples.ndim == 1 else samples.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())
    return str(path)


def sigpat(*args, cwd=None):
    return subprocess.run([SIGPAT, *map(str, args)], capture_output=True, text=True, cwd=cwd, check=True).stdout


def sigpat_scan(*args, cwd=None):
    """The JSON detections of sigpat scan."""
    return [json.loads(line) for line in sigpat("scan", "--json", "-q", *args, cwd=cwd).splitlines()]


def stream_with_clips(seconds, clips, seed, every=9.7, rate=RATE):
    """Noise with a tone switching on and off, and the clips in turn every `every` seconds."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    t = np.arange(n) / rate
    x = rng.uniform(-0.05, 0.05, n) + 0.1 * np.sin(2 * np.pi * 200 * t) * (np.sin(2 * np.pi * t / 7) > 0)
    for k, at in enumerate(np.arange(2.0, seconds - 2.0, every)):
        clip = clips[k % len(clips)]
        i = int(at * rate)
        x[i:i + len(clip)] += clip[: n - i]
    return x


@pytest.fixture(scope="session")
def corpus(tmp_path_factory):
    """Two patterns (made by sigpat create) in pats/ and a 60-second stream holding each three
    times, as int16 samples and as stream.wav."""
    d = tmp_path_factory.mktemp("corpus")
    chime, rise = tone_steps([523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093]), sweeps()
    (d / "pats").mkdir()
    for name, clip in (("chime", chime), ("rise", rise)):
        write_wav(d / f"{name}.wav", to_int16(clip))
        sigpat("create", d / f"{name}.wav", "-o", d / "pats" / f"{name}.tvs")
    samples = to_int16(stream_with_clips(60, [chime, rise], seed=1))
    write_wav(d / "stream.wav", samples)
    return {"dir": d, "pats": str(d / "pats"), "wav": str(d / "stream.wav"), "samples": samples, "chime": chime}
