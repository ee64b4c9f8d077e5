#!/usr/bin/env python3
"""The layout checker (check_layout.py) finds what it is for: include cycles among detector/
files and the engine's ring read or its counters written outside engine/ and recognizer/; and
leaves alone what is allowed (comparisons, comments, the engine's own side, other types that
share a name)."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def run(files):
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as h:
                h.write(text)
        done = subprocess.run([sys.executable, os.path.join(HERE, "check_layout.py"), root],
                              capture_output=True, text=True, check=False)
        return done.returncode, [l for l in done.stdout.splitlines() if not l.startswith("check_layout:")]


class IncludeCycles(unittest.TestCase):
    def test_cycles_among_detector_files_and_nothing_else(self):
        code, lines = run({
            "detector/a.h": '#include "b.h"\n',
            "detector/b.h": '#include "sub/c.h"\n',
            "detector/sub/c.h": '#include "../a.h"\n#include "PatternDetector.h"\n',
            "detector/d.cpp": '#include "a.h"\n',
            "detector/self.h": '#include "self.h"\n',
        })
        self.assertEqual(code, 1)
        self.assertEqual(sorted(lines), [
            "detector/a.h -> detector/b.h -> detector/sub/c.h -> detector/a.h: include cycle",
            "detector/self.h -> detector/self.h: include cycle",
        ])
        # One-way includes (a diamond included) pass.
        code, lines = run({
            "detector/a.h": '#include "b.h"\n#include "c.h"\n',
            "detector/b.h": '#include "c.h"\n',
            "detector/c.h": "\n",
        })
        self.assertEqual((code, lines), (0, []))


class EngineState(unittest.TestCase):
    def test_ring_reads_and_counter_writes_outside_the_engine(self):
        code, lines = run({
            "detector/x.cpp": "float a = e->DftPowRing[0];\nint b = engine.NblockCur;\n"
                              "e->NCurrentSample -= shift;\nrec.RecognizedEnd++;\n",
            "tools/t.cpp": "const float* p = e . TimeSpectrum;\n",
        })
        self.assertEqual(code, 1)
        self.assertEqual(lines, [
            "detector/x.cpp:1: reads the engine's DftPowRing (use the TimeBlockView)",
            "detector/x.cpp:2: reads the engine's NblockCur (use the TimeBlockView)",
            "detector/x.cpp:3: writes the engine's NCurrentSample (only RecognitionStream rebases)",
            "detector/x.cpp:4: writes the engine's RecognizedEnd (only RecognitionStream rebases)",
            "tools/t.cpp:1: reads the engine's TimeSpectrum (use the TimeBlockView)",
        ])

    def test_allowed_uses(self):
        code, lines = run({
            # the engine's side and its tests
            "engine/pipeline.cpp": "e->DftPowRingPos = 0; NCurrentSample += 576;\n",
            "recognizer/RecognitionStream.cpp": "e.NCurrentSample -= shift;\n",
            "tests/test_engine.cpp": "EXPECT_EQ(e.NblockCur, 2);\n",
            # reading a counter, comparing it, comments, a type of the same name
            "tools/a.cpp": "if (e.NCurrentSample == before) return;\n// e->DftPowRing is the engine's\n"
                           "/* e.NblockCur\n */ sigpat::TimeSpectrum s; TimeSpectrum Compute();\n",
        })
        self.assertEqual((code, lines), (0, []))


if __name__ == "__main__":
    unittest.main()
