"""The module against sigpat on the same audio, sample formats, bad arguments and threads."""
import dataclasses
import os
import pickle
import threading
import time

import numpy as np
import pandas as pd
import pytest

import signalpattern as sp
from signalpattern import _core
from conftest import RATE, sigpat, sigpat_scan, to_int16, tone_steps, write_wav


def fed(scanner, samples, piece):
    found = []
    for i in range(0, len(samples), piece):
        found += scanner.feed(samples[i:i + piece])
    return [d.to_dict() for d in found + scanner.finish()]


@pytest.mark.parametrize("decision", ["detector", "library"])
def test_detections_are_those_of_sigpat(corpus, decision):
    cli = sigpat_scan("--decision", decision, "-p", corpus["pats"], corpus["wav"])
    assert len(cli) == 6
    assert [d.to_dict() for d in sp.scan_file(corpus["wav"], corpus["pats"], decision=decision)] == cli
    # Fed in pieces that are not whole blocks: 16-bit samples in place, and float samples converted.
    samples = corpus["samples"]
    for data, piece in ((samples, 10007), (samples / 32768.0, 4096)):
        assert fed(sp.Scanner(corpus["pats"], decision, name=corpus["wav"]), data, piece) == cli
    found = sp.scan_file(corpus["wav"], corpus["pats"], decision=decision)
    frame = pd.DataFrame(found)
    assert list(frame["begin"]) == [d["begin"] for d in cli]
    # Detection's fields, the frame's columns, are the core's keys in their order (a scan from
    # Python reads no clock): a key renamed in the core's list is renamed here. It stays frozen
    # and pickles (Dask moves results between processes).
    keys = [field for _, field, _, when in _core.detection_keys() if when != "clock"]
    assert [f.name for f in dataclasses.fields(sp.Detection)] == keys == list(frame.columns)
    with pytest.raises(dataclasses.FrozenInstanceError):
        found[0].begin = 0
    assert pickle.loads(pickle.dumps(found)) == found


def test_versions_of_a_spot_name_the_runner_up_or_the_candidates(tmp_path):
    # Two versions: one body, another end tag. Aired whole, the version is named with the other as
    # runner-up; cut before its tag, it is undecided between the two. Fields as sigpat writes them.
    rng = np.random.default_rng(7)
    body = tone_steps(rng.uniform(300, 3000, 40), step=0.2)
    tags = [tone_steps(rng.uniform(300, 3000, 15), step=0.2) for _ in range(2)]
    pats = tmp_path / "pats"
    pats.mkdir()
    for k, tag in enumerate(tags):
        write_wav(tmp_path / f"v{k + 1}.wav", to_int16(np.concatenate([body, tag])))
        sigpat("create", tmp_path / f"v{k + 1}.wav", "-o", pats / f"v{k + 1}.tvs")
    noise = np.random.default_rng(3).uniform(-0.02, 0.02, 40 * RATE)
    whole, cut = noise.copy(), noise.copy()
    clip = np.concatenate([body, tags[1]])
    whole[2 * RATE:2 * RATE + len(clip)] += clip
    cut[2 * RATE:2 * RATE + len(body)] += body
    for name, x in (("whole", whole), ("cut", cut)):
        wav = write_wav(tmp_path / f"{name}.wav", to_int16(x))
        found = sp.scan_file(wav, str(pats))
        assert [d.to_dict() for d in found] == sigpat_scan("-p", pats, wav)
        assert len(found) == 1, found
        d = found[0]
        if name == "whole":
            assert (d.name, d.runner_up, d.undecided, d.candidates) == ("v2.tvs", "v1.tvs", False, ())
            assert d.margin > 0.12
        else:
            assert d.undecided and d.runner_up is None and d.margin is None
            assert sorted(d.candidates) == ["v1.tvs", "v2.tvs"]


def test_sample_formats_and_rates_give_the_same_detections(corpus, tmp_path):
    samples = corpus["samples"]
    reference = fed(sp.Scanner(corpus["pats"]), samples, 1 << 20)
    stereo = np.stack([samples, samples], axis=1)
    same = {
        "int32": samples.astype(np.int32) << 16,
        "float32": samples.astype(np.float32) / 32768,
        "stereo (frames, 2)": stereo,
        "channel 2 of Fortran order": np.asfortranarray(np.stack([np.zeros_like(samples), samples], axis=1)),
        "every second value": np.repeat(samples, 2)[::2],
        "unsigned 16-bit": (samples.astype(np.int32) + 32768).astype(np.uint16),
        "big-endian (converted)": samples.astype(">i2"),
    }
    for label, data in same.items():
        channel = 2 if label.startswith("channel") else 0
        assert fed(sp.Scanner(corpus["pats"], channel=channel), data, 30000) == reference, label
    # float16 cannot hold the samples exactly, but is accepted.
    assert len(fed(sp.Scanner(corpus["pats"]), (samples / 32768).astype(np.float16), 1 << 20)) == len(reference)

    # 48 kHz stereo: resampled as sigpat resamples a file.
    rng = np.random.default_rng(3)
    x = to_int16(rng.uniform(-0.05, 0.05, (20 * 48000, 2)))
    clip = to_int16(0.5 * np.sin(2 * np.pi * np.cumsum(np.linspace(300, 5000, int(1.2 * 48000))) / 48000))
    for at in (4.0, 13.3):
        i = int(at * 48000)
        x[i:i + len(clip), 0] += clip
        x[i:i + len(clip), 1] += clip // 2
    wav = write_wav(tmp_path / "s48.wav", x, 48000)
    sigpat("create", wav, "--begin-sec", "4.0", "--end-sec", "5.2", "-o", tmp_path / "cli.tvs")
    cli = sigpat_scan("-p", tmp_path / "cli.tvs", wav)
    assert len(cli) == 2
    assert fed(sp.Scanner(str(tmp_path / "cli.tvs"), rate=48000, name=wav), x, 7777) == cli


def test_created_patterns_are_those_of_sigpat(corpus, tmp_path, monkeypatch):
    # The same interval of the same 48 kHz stereo file and array: the same bytes (the file
    # records its own name, so both are written under the same relative name).
    rng = np.random.default_rng(4)
    x = to_int16(rng.uniform(-0.2, 0.2, (3 * 48000, 2)))
    (tmp_path / "cli").mkdir()
    (tmp_path / "py").mkdir()
    write_wav(tmp_path / "cli" / "take.wav", x, 48000)
    sigpat("create", "take.wav", "--begin", 20000, "--end", 90000, "-o", "p.tvs", cwd=tmp_path / "cli")
    monkeypatch.chdir(tmp_path / "py")
    p = sp.create_pattern(x, 48000, "p", begin=20000, end=90000, source="take.wav")
    assert (tmp_path / "cli" / "p.tvs").read_bytes() == (tmp_path / "py" / "p.tvs").read_bytes()

    assert (p.path, p.name, p.source, p.nband, p.rate) == ("p.tvs", "p.tvs", "take.wav", 8, 44100.0)
    assert p.spectrum.shape == (p.nblock, 8) and p.spectrum.dtype == np.float32
    assert p.duration == pytest.approx(70001 / 44100, abs=0.02)
    with pytest.raises(ValueError):
        p.spectrum[0, 0] = 1.0  # a view of the loaded pattern, read-only
    # First block first: the spectrum of a clip that starts silent and ends loud rises.
    ramp = sp.create_pattern(np.linspace(0, 1, RATE) * corpus["chime"][:RATE], RATE, "ramp.tvs")
    assert ramp.spectrum[1].sum() < ramp.spectrum[-2].sum()


def test_bad_arguments_raise_clear_exceptions(corpus, tmp_path):
    samples = corpus["samples"]
    junk = tmp_path / "junk.tvs"
    junk.write_bytes(b"not a pattern at all" * 10)
    with pytest.raises(sp.SignalPatternError, match="missing.tvs: No such file"):
        sp.Scanner(str(tmp_path / "missing.tvs"))
    with pytest.raises(sp.SignalPatternError, match="junk.tvs: not a pattern file") as refused:
        sp.scan_file(corpus["wav"], [corpus["pats"], junk])
    # The user reads one English line; the library's own (Russian) lines are kept for a developer.
    assert "\n" not in str(refused.value) and str(refused.value).isascii()
    assert any(line.startswith("LoadRecognizePattern()") for line in refused.value.library_messages)
    with pytest.raises(sp.SignalPatternError) as missing:
        sp.Pattern.load(str(tmp_path / "missing.tvs"))
    assert missing.value.library_messages == () and sp.SignalPatternError("x").library_messages == ()
    with pytest.raises(sp.SignalPatternError, match="junk.tvs: not an audio file"):
        sp.scan_file(junk, corpus["pats"])
    with pytest.raises(ValueError, match="decision"):
        sp.Scanner(corpus["pats"], "best")
    with pytest.raises(ValueError, match="rate"):
        sp.Scanner(corpus["pats"], rate=0)
    with pytest.raises(ValueError, match="threshold sets the library's own rule"):
        sp.scan_file(corpus["wav"], corpus["pats"], threshold=0.5)  # the detector would ignore it
    with pytest.raises(TypeError, match="pattern"):
        sp.Scanner([3])
    scanner = sp.Scanner(corpus["pats"])
    for bad, error in ((samples.astype(bool), TypeError), (samples.astype(complex), TypeError),
                       (np.array(["a", "b"]), TypeError), (samples.reshape(-1, 2, 2), ValueError)):
        with pytest.raises(error):
            scanner.feed(bad)
    scanner.feed(samples[:5000])
    with pytest.raises(ValueError, match="channels"):
        scanner.feed(np.stack([samples, samples], axis=1))
    scanner.finish()
    with pytest.raises(sp.SignalPatternError, match="finished"):
        scanner.feed(samples)
    with pytest.raises(sp.SignalPatternError, match="no audio samples"):
        sp.Scanner(corpus["pats"]).finish()
    with pytest.raises(ValueError, match="channel 3 does not exist"):
        sp.Scanner(corpus["pats"], channel=3).feed(np.zeros((10, 2), np.int16))
    with pytest.raises(sp.SignalPatternError, match="lies outside"):
        sp.create_pattern(samples[:RATE], RATE, tmp_path / "x.tvs", begin=0, end=RATE)
    with pytest.raises(ValueError, match="empty"):
        sp.create_pattern(np.zeros(0, np.int16), RATE, tmp_path / "x.tvs")
    with pytest.raises(sp.SignalPatternError, match="out.tvs"):
        sp.create_pattern(samples[:RATE], RATE, tmp_path / "no-dir" / "out.tvs")
    assert not os.path.exists(tmp_path / "x.tvs")
    # A file cut short after its header is scanned as far as it goes, with a warning.
    cut = tmp_path / "cut.wav"
    cut.write_bytes(open(corpus["wav"], "rb").read()[:200000])
    with pytest.warns(UserWarning, match="cut.wav: the file ends .* s before the length its header gives"):
        sp.scan_file(cut, corpus["pats"])


def test_threads_scan_in_parallel_with_the_same_results(corpus):
    long = np.tile(corpus["samples"], 8)
    alone = [fed(sp.Scanner(corpus["pats"], name=n), long, len(long)) for n in ("a", "b")]
    results, feeds = {}, []

    def run(name):
        scanner = sp.Scanner(corpus["pats"], name=name)
        start = time.monotonic()
        found = scanner.feed(long)  # one call of eight minutes of audio
        feeds.append((start, time.monotonic()))
        results[name] = [d.to_dict() for d in found + scanner.finish()]

    threads = [threading.Thread(target=run, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    # This thread keeps running while the scanners work, unless a feed holds the GIL throughout:
    # then it could not run at all in the middle of a feed. (Only that: how often it runs depends
    # on the machine's load.)
    ran = []
    while any(t.is_alive() for t in threads):
        now = time.monotonic()
        if not ran or now - ran[-1] > 0.005:
            ran.append(now)
    assert [results["a"], results["b"]] == alone
    for start, end in feeds:
        margin = (end - start) / 10
        assert any(start + margin < t < end - margin for t in ran), (start, end)
