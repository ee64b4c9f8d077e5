"""The discovery evaluation's causes (why a clip was missed, what a false discovery is) and the
week benchmark's linking of clips found by different tasks: the linking run on real audio (two
tasks' evidence of one clip joined, a third clip left alone) when SIGPAT is given.

    test_discover_scoring.py [SIGPAT]
"""

import math
import os
import random
import sys
import tempfile
import unittest
import wave

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "eval", "broadcast"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

import discover_eval  # noqa: E402
import discover_week  # noqa: E402

SIGPAT = None
RATE = 44100


def found(*spans, long_repeat=False):
    return {"long_repeat": long_repeat, "occurrences": [{"input": "p", "begin_s": b, "end_s": e} for b, e in spans]}


class Causes(unittest.TestCase):
    # Two recurring clips: A (10-14 s, 40-44 s) and its neighbour B right after it (14-20 s, 44-50 s).
    RECURRING = {"A": [(10.0, 14.0, 14.0), (40.0, 44.0, 44.0)], "B": [(14.0, 20.0, 20.0), (44.0, 50.0, 50.0)]}

    def miss(self, *discoveries, in_family=False):
        return discover_eval.miss_cause(self.RECURRING["A"], list(discoveries), self.RECURRING, in_family)

    def test_misses_by_cause(self):
        self.assertEqual(self.miss(), "not found")
        self.assertEqual(self.miss(found((100.0, 104.0), (200.0, 204.0))), "not found")
        self.assertEqual(self.miss(found((10.0, 20.0), (40.0, 50.0))), "merged neighbours")
        self.assertEqual(self.miss(found((11.0, 12.5), (41.0, 42.5))), "split")
        self.assertEqual(self.miss(found((10.3, 14.0), (40.3, 44.0))), "boundary off 0.2-0.5 s")
        self.assertEqual(self.miss(found((10.0, 13.3), (40.0, 43.3))), "boundary off 0.5-1.0 s")
        self.assertEqual(self.miss(found((8.6, 14.0))), "boundary off 1.0-2.0 s")
        self.assertEqual(self.miss(found((10.0, 12.6)), in_family=True), "version: common part")
        # The discovery overlapping most decides, not the first one listed.
        self.assertEqual(self.miss(found((13.0, 13.5)), found((10.3, 14.0))), "boundary off 0.2-0.5 s")

    def test_false_discoveries_by_cause(self):
        longs = [(300.0, 380.0)]

        def cause(*spans):
            return discover_eval.false_cause(found(*spans), self.RECURRING, longs)

        self.assertEqual(cause((310.0, 315.0), (600.0, 605.0)), "song repeat")
        self.assertEqual(cause((120.0, 123.0), (160.0, 163.0)), "song/talk repeat")
        self.assertEqual(cause((10.0, 20.0)), "merged neighbours")
        self.assertEqual(cause((10.5, 11.5)), "split part")
        self.assertEqual(cause((8.0, 14.0)), "shared intro/tail")
        self.assertEqual(cause((10.0, 13.2)), "boundary off 0.5-1.0 s")

    def test_cause_table_lists_every_cause_once(self):
        table = discover_eval.cause_table({"missed: split": 2, "false: song repeat": 3, "missed: not found": 1})
        rows = table.splitlines()[1:]
        self.assertEqual(len(rows), 3)
        self.assertTrue(rows[0].split()[0] == "false" and rows[0].endswith("3"))


class Linking(unittest.TestCase):
    def test_clips_sharing_a_linking_clip_are_one_discovery(self):
        tasks = {"a day 0": [{"id": 1, "evidence": "/x/a1.wav"}, {"id": 2, "evidence": "/x/a2.wav"}],
                 "b day 0": [{"id": 1, "evidence": "/x/b1.wav"}, {"id": 2, "evidence": ""}],
                 "b day 1": [{"id": 1, "evidence": "/x/c1.wav"}]}
        links = [{"occurrences": [{"input": "/x/a1.wav"}, {"input": "/x/b1.wav"}]},
                 {"occurrences": [{"input": "/x/b1.wav"}, {"input": "/x/c1.wav"}, {"input": "/elsewhere.wav"}]}]
        groups = discover_week.link_tasks(tasks, links)
        self.assertEqual(groups, [[("a day 0", 1), ("b day 0", 1), ("b day 1", 1)], [("a day 0", 2)], [("b day 0", 2)]])
        self.assertEqual(len(discover_week.link_tasks(tasks, [])), 5)  # nothing linked: every clip its own

    @unittest.skipUnless(len(sys.argv) > 1 or SIGPAT, "give the sigpat executable to run the linking on audio")
    def test_linking_run_joins_one_clip_found_by_two_tasks(self):
        rng = random.Random(33)

        def tones(seconds):
            out = []
            for _ in range(int(seconds / 0.25)):
                f1, f2 = rng.uniform(200, 3000), rng.uniform(200, 3000)
                out += [0.3 * math.sin(2 * math.pi * f1 * i / RATE) + 0.2 * math.sin(2 * math.pi * f2 * i / RATE)
                        for i in range(int(0.25 * RATE))]
            return out

        def noise(seconds, level):
            return [rng.gauss(0.0, level) for _ in range(int(seconds * RATE))]

        clip, other = tones(5.0), tones(5.0)
        with tempfile.TemporaryDirectory() as tmp:
            files = {}
            for name, body in (("a", noise(1.0, 0.05) + clip + noise(1.0, 0.05)),
                               ("b", tones(1.0) + [0.8 * s for s in clip] + noise(1.0, 0.02)),
                               ("c", noise(1.0, 0.05) + other + noise(1.0, 0.05))):
                files[name] = os.path.join(tmp, name + ".wav")
                with wave.open(files[name], "wb") as w:
                    w.setnchannels(1)
                    w.setsampwidth(2)
                    w.setframerate(RATE)
                    w.writeframes(b"".join(int(max(-1.0, min(1.0, s)) * 32000).to_bytes(2, "little", signed=True) for s in body))
            tasks = {f"{n} day 0": [{"id": 1, "evidence": p}] for n, p in files.items()}
            cpu, links, error = discover_week.link_run(SIGPAT or sys.argv[1], tasks)
            self.assertEqual(error, "")
            groups = discover_week.link_tasks(tasks, links)
            self.assertIn([("a day 0", 1), ("b day 0", 1)], groups)
            self.assertIn([("c day 0", 1)], groups)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SIGPAT = sys.argv.pop(1)
    unittest.main()
