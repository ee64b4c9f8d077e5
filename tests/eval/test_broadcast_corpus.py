"""The broadcast corpus generator's ground truth: layers land on the samples they are placed at,
and every processing chain moves a clip to where the manifest says (round(b / factor) + delay),
within 2 ms, with the same samples on every run."""

import os
import random
import shutil
import struct
import sys
import tempfile
import unittest
import wave

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "eval", "broadcast"))

import capture  # noqa: E402
import chains  # noqa: E402
from audio import CorpusError  # noqa: E402
from mixer import Layer, mix  # noqa: E402

RATE = 44100
HAVE_TOOLS = all(shutil.which(t) for t in ("sox", "ffmpeg"))


def write(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack(f"<{len(samples)}h", *samples))


def read(path):
    with wave.open(path, "rb") as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, RATE), path
        n = w.getnframes()
        return list(struct.unpack(f"<{n}h", w.readframes(n)))


@unittest.skipUnless(HAVE_TOOLS, "sox and ffmpeg are not installed")
class GroundTruth(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sp_broadcast_")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_layers_land_on_their_samples_with_their_gains(self):
        a, b = os.path.join(self.dir, "a.wav"), os.path.join(self.dir, "b.wav")
        write(a, [1000] * 50)
        write(b, [-2000] * 30)
        out = os.path.join(self.dir, "m.wav")
        # b at -6.02 dB (half), overlapping a's last 10 samples; peak normalisation off (0 dB
        # would rescale, so the expected values are scaled by the mix's own peak).
        mix([Layer(a, 123), Layer(b, 163, -6.0206)], out, 300, "test")
        x = read(out)
        self.assertEqual(len(x), 300)
        scale = x[123] / 1000.0
        self.assertTrue(all(v == 0 for v in x[:123]), "nothing before the first layer")
        self.assertAlmostEqual(x[162] / scale, 1000, delta=2)
        self.assertAlmostEqual(x[163] / scale, 0, delta=2)  # 1000 + half of -2000
        self.assertAlmostEqual(x[173] / scale, -1000, delta=2)  # a has ended
        self.assertTrue(all(v == 0 for v in x[193:]))

    def bursts(self):
        """An 8 s input holding three noise bursts; returns its path, length and burst starts."""
        rng = random.Random(5)
        n = 8 * RATE
        x = [0] * n
        bursts = [RATE + 123, 4 * RATE + 77, 6 * RATE + 301]
        for p in bursts:
            for i in range(3000):
                x[p + i] = int(20000 * rng.uniform(-1, 1))
        src = os.path.join(self.dir, "in.wav")
        write(src, x)
        return src, n, bursts

    def check_positions(self, kind, out, factor, delay, n, bursts, tolerance):
        y = read(out)
        self.assertAlmostEqual(len(y), n / factor, delta=0.01 * n)
        for p in bursts:
            q = round(p / factor) + delay
            seg = [abs(v) for v in y[q - 4000:q + 4000]]
            onset = next(i for i, v in enumerate(seg) if v > 0.3 * max(seg)) - 4000
            self.assertLess(abs(onset), tolerance * RATE, f"{kind}: burst at {p} found {onset} samples off")

    def test_every_chain_puts_a_clip_where_the_manifest_says(self):
        src, n, bursts = self.bursts()
        for kind in chains.FULL_KINDS:
            with self.subTest(kind=kind):
                out = os.path.join(self.dir, f"{kind}.wav")
                factor, delay = chains.process(kind, src, out, 7)
                self.check_positions(kind, out, factor, delay, n, bursts, 0.002)
        again = os.path.join(self.dir, "again.wav")
        for kind in ("car-noise", "tempo+2", "broadcast"):
            chains.process(kind, src, again, 7)
            with open(again, "rb") as f1, open(os.path.join(self.dir, f"{kind}.wav"), "rb") as f2:
                self.assertEqual(f1.read(), f2.read(), f"{kind} is not repeatable")

    def test_capture_chains_keep_positions_and_repeat(self):
        # Rooms (direct sound first, codec delay removed) and speed steps within 2 ms; the
        # time-stretchers place an onset within one of their segments (measured: up to 6 ms).
        src, n, bursts = self.bursts()
        # (each set's harshest room and its time-stretcher: sox tempo, Rubber Band)
        for set_name, room, tempo, more in (("dev", "room-bare", "tempo-6", ["speed+6"]),
                                            ("holdout", "room-hall", "tempo+5", [])):
            for kind in [room, tempo] + more:
                with self.subTest(set=set_name, kind=kind):
                    out = os.path.join(self.dir, f"{set_name}-{kind}.wav")
                    factor, delay = capture.process(set_name, kind, src, out, 7)
                    self.check_positions(kind, out, factor, delay, n, bursts, 0.01 if kind.startswith("tempo") else 0.002)
            for kind in (room, tempo):
                again = os.path.join(self.dir, "again.wav")
                capture.process(set_name, kind, src, again, 7)
                with open(again, "rb") as f1, open(os.path.join(self.dir, f"{set_name}-{kind}.wav"), "rb") as f2:
                    self.assertEqual(f1.read(), f2.read(), f"{set_name} {kind} is not repeatable")
        with self.assertRaises(CorpusError):
            capture.process("dev", "room-nowhere", src, os.path.join(self.dir, "x.wav"), 7)


if __name__ == "__main__":
    unittest.main()
