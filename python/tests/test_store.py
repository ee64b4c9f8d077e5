"""signalpattern.read_detections: the store sigpat scan --db wrote, as a DataFrame."""
import json
import os
import sqlite3
import subprocess

import pandas as pd
import pytest

import signalpattern as sp
from conftest import SIGPAT


def scan_into(db, corpus, *args):
    out = subprocess.run([SIGPAT, "scan", "--json", "-q", "-p", corpus["pats"], "--db", str(db), *args, corpus["wav"]],
                         capture_output=True, text=True, check=True).stdout
    return out.splitlines()


def test_reads_every_detection_with_its_times_and_filters(corpus, tmp_path):
    db = tmp_path / "s.db"
    label = 'Radio "Zoë", 1'
    (tmp_path / "cat.csv").write_text('file,spot_id,advertiser\nchime.tvs,S-1,"Acme, Inc"\n', encoding="utf-8")
    lines = scan_into(db, corpus, "--label", label, "--start-utc", "2026-12-07T06:00:00Z", "--catalogue",
                      tmp_path / "cat.csv")
    other = scan_into(db, corpus, "--label", "other")  # no UTC times
    assert len(lines) == 6 and len(other) == 6

    df = sp.read_detections(db)
    assert list(df.columns) == sp.store.COLUMNS
    assert len(df) == 12
    # Ordered by begin time; the rows without one last.
    assert df["json"].tolist() == sorted(lines, key=lambda l: json.loads(l)["begin"]) + other
    first = df.iloc[0]
    want = json.loads(first["json"])
    assert first["station"] == label
    assert first["begin_utc"].round("ms") == pd.Timestamp(want["begin_utc"])  # kept to the microsecond
    assert first["begin_s"] == want["begin_s"] and first["begin_sample"] == want["begin"]
    assert first["confidence"] == want["confidence"] and first["match"] == want["match"]
    assert str(first["begin_utc"].tz) == "UTC"
    assert df[df["pattern"] == "chime.tvs"]["advertiser"].unique().tolist() == ["Acme, Inc"]
    assert df[df["station"] == "other"]["begin_utc"].isna().all()

    assert len(sp.read_detections(db, station="other")) == 6
    assert len(sp.read_detections(str(db), station=[label, "other"])) == 12
    window = sp.read_detections(db, start="2026-12-07T06:00:20Z", end=pd.Timestamp("2026-12-07 06:00:40", tz="UTC"))
    assert len(window) > 0
    assert window["begin_utc"].between(pd.Timestamp("2026-12-07T06:00:20Z"), pd.Timestamp("2026-12-07T06:00:40Z")).all()
    assert len(sp.read_detections(db, start="2026-12-08")) == 0


def test_bad_databases_raise_with_the_name(tmp_path):
    with pytest.raises(sp.SignalPatternError, match="no such database"):
        sp.read_detections(tmp_path / "missing.db")
    assert not (tmp_path / "missing.db").exists()
    (tmp_path / "text.db").write_text("x" * 5000)
    with pytest.raises(sp.SignalPatternError, match="text.db: cannot read the detections"):
        sp.read_detections(tmp_path / "text.db")
    sqlite3.connect(tmp_path / "empty.db").execute("CREATE TABLE t (x)").connection.commit()
    with pytest.raises(sp.SignalPatternError, match="no such table"):
        sp.read_detections(tmp_path / "empty.db")
    with pytest.raises(ValueError, match="start"):
        sp.read_detections(tmp_path / "text.db", start="not a time")
