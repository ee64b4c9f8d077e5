"""Archive scans on Dask: a local cluster of processes, and a scheduler with two workers started
as separate processes on loopback, one of them killed during the run. The detections must be
exactly those of sigpat scan on each file."""
import json
import os
import signal
import socket
import subprocess
import sys

import numpy as np
import pytest

from conftest import sigpat_scan, stream_with_clips, sweeps, to_int16, tone_steps, write_wav
import signalpattern as sp
from signalpattern import archive

distributed = pytest.importorskip("distributed")


def by_position(detections):
    return sorted(detections, key=lambda d: (d["input"], d["begin"], d["end"], d["pattern"]))


@pytest.fixture(scope="module")
def archive_files(corpus, tmp_path_factory):
    """A four-minute file at 44100 Hz (cut into chunks) and a 48 kHz stereo file (scanned whole)."""
    d = tmp_path_factory.mktemp("archive")
    long = write_wav(d / "long.wav", to_int16(stream_with_clips(240, [corpus["chime"], sweeps()], seed=5)))
    chime48 = tone_steps([523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093], rate=48000)
    other = stream_with_clips(30, [chime48], seed=6, rate=48000, every=7.3)
    stereo = write_wav(d / "stereo48.wav", to_int16(np.stack([other, 0.5 * other], axis=1)), 48000)
    return [long, stereo]


def test_local_cluster_finds_what_sigpat_finds(corpus, archive_files):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for decision in ("detector", "library"):
            cli = sigpat_scan("--decision", decision, "-p", corpus["pats"], *archive_files)
            calls = []
            found, errors = archive.scan_archive(client, archive_files, [corpus["pats"]], decision, chunk_seconds=20,
                                                 progress=lambda *a: calls.append(a))
            assert errors == []
            assert found == by_position(cli) and len(found) > 25
            # Clips across seams of the chunks are among them (found once).
            longest = archive.longest_pattern([corpus["pats"]], decision)
            seams = [c.own_begin for c in archive.plan_chunks(0, "", 240 * 44100, 44100, longest, 20)[1:]]
            assert sum(d["begin"] < seam < d["end"] for d in found for seam in seams) >= 2
            assert calls[-1][:2] == (len(calls), len(calls)) and calls[-1][2] == pytest.approx(270, abs=0.1)
        # A bad pattern set stops the run; a bad file is named and the others are still scanned.
        with pytest.raises(sp.SignalPatternError, match="nowhere: No such file"):
            archive.scan_archive(client, archive_files, [corpus["pats"] + "/nowhere"])
        found, errors = archive.scan_archive(client, [corpus["pats"] + "/chime.tvs", archive_files[1]], [corpus["pats"]])
        assert len(errors) == 1 and "chime.tvs: not an audio file" in errors[0]
        assert found == by_position(sigpat_scan("-p", corpus["pats"], archive_files[1]))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_cluster_survives_a_worker_killed_during_the_run(corpus, archive_files, tmp_path):
    # Four inputs (names of the same file), many chunks: the run outlasts the kill.
    inputs = []
    for k in range(4):
        os.symlink(archive_files[0], tmp_path / f"in{k}.wav")
        inputs.append(str(tmp_path / f"in{k}.wav"))
    (tmp_path / "inputs.txt").write_text("".join(f"in{k}.wav\n" for k in range(4)))
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    env = dict(os.environ)
    # The commands a user runs on a cluster (dask scheduler, dask worker), with this interpreter.
    dask = [sys.executable, "-m", "dask"]
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    log = open(tmp_path / "scheduler.log", "w")
    processes = [subprocess.Popen(dask + ["scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
                                  stdout=subprocess.DEVNULL, stderr=log, env=env)]
    try:
        with distributed.Client(address, timeout=30) as client:
            for _ in range(2):
                processes.append(subprocess.Popen(dask + ["worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                                                          "--no-nanny", "--no-dashboard"], **quiet))
            client.wait_for_workers(2, timeout=60)
        out = tmp_path / "results.jsonl"
        run = subprocess.Popen([sys.executable, "-m", "signalpattern.archive", "--scheduler", address, "-p",
                                corpus["pats"], "--list", str(tmp_path / "inputs.txt"), "--out", str(out),
                                "--chunk-seconds", "10"], stderr=subprocess.PIPE, text=True, env=env)
        lines = []
        for line in run.stderr:
            lines.append(line)
            if len(lines) == 1:
                processes[1].send_signal(signal.SIGKILL)
        assert run.wait(timeout=120) == 0, "".join(lines)
        assert processes[1].wait() == -signal.SIGKILL
        chunks = [line for line in lines if " chunks, " in line]
        assert len(chunks) == 4 * 24 and chunks[-1].startswith("archive: 96/96 chunks, 0.27 h of audio")
        found = [json.loads(line) for line in out.read_text().splitlines()]
        assert found == by_position(sigpat_scan("-j", "2", "-p", corpus["pats"], *inputs))
        assert "Remove worker" in (tmp_path / "scheduler.log").read_text()
    finally:
        for p in processes:
            p.kill()
            p.wait()


def test_bad_command_lines_are_refused_before_any_scan(tmp_path, capsys):
    wav = write_wav(tmp_path / "a.wav", np.zeros(44100, np.int16))
    for args, message in (
            (["--list", str(tmp_path / "nope.txt")], "nope.txt: cannot read the list of inputs (No such file"),
            ([wav, "--threshold", "0.5"], "--threshold sets the library's own rule"),
            ([wav, "--out", str(tmp_path / "no-dir" / "out.jsonl")], "out.jsonl: the directory"),
    ):
        argv = ["-p", str(tmp_path), "--out", str(tmp_path / "out.jsonl"), *args]
        with pytest.raises(SystemExit) as stopped:
            archive.main(argv)
        assert stopped.value.code == 2
        err = capsys.readouterr().err.strip().splitlines()[-1]
        assert message in err and "Traceback" not in err, err
