"""Read the detections store that ``sigpat scan --db`` and ``sigpat monitor --db`` write.

>>> import signalpattern as sp
>>> df = sp.read_detections("airings.db", station="radio1", start="2026-12-07", end="2026-12-08")
>>> df.groupby("advertiser").size()

``db`` is an SQLite file (opened read-only) or a ``postgresql://`` URL (read with psycopg2,
Debian python3-psycopg2). One row per detection, ordered by begin time: the station's label, the
pattern file's name, content hash and catalogue metadata (spot_id, advertiser, campaign, version,
title), begin_utc/end_utc as UTC timestamps (NaT when the input had no clock), clock, begin_s and
end_s (seconds from the start of the input), begin_sample/end_sample, rule, confidence, distance,
threshold, seen, match, evidence (the evidence file, "" when none; "#t=S" after it when the
file is shared with earlier detections and this one's window starts S seconds in) and json (the
line sigpat printed). A database that cannot be read raises :class:`SignalPatternError`.
"""
from __future__ import annotations

import datetime as _dt
import os
import sqlite3
from typing import Optional, Sequence, Union

from ._core import SignalPatternError

Time = Union[str, _dt.datetime, "pandas.Timestamp", None]

COLUMNS = ["id", "station", "pattern", "pattern_hash", "spot_id", "advertiser", "campaign", "version", "title",
           "begin_utc", "end_utc", "clock", "begin_s", "end_s", "begin_sample", "end_sample", "rule", "confidence",
           "distance", "threshold", "seen", "match", "evidence", "json", "stored_utc"]

_SELECT = ("SELECT d.id, s.label, d.pattern_name, p.content_hash, p.spot_id, p.advertiser, p.campaign, p.version, "
           "p.title, d.begin_utc, d.end_utc, d.clock, d.begin_s, d.end_s, d.begin_sample, d.end_sample, d.rule, "
           "d.confidence, d.distance, d.threshold, d.seen, d.match_kind, d.evidence, d.json, d.stored_utc "
           "FROM detections d JOIN stations s ON s.id = d.station_id JOIN patterns p ON p.id = d.pattern_id")


def _micros(t: Time, what: str) -> Optional[int]:
    import pandas as pd
    if t is None:
        return None
    try:
        ts = pd.Timestamp(t)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{what}: {t!r} is not a time ({e})") from None
    ts = ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")
    return int(ts.value // 1000)


def read_detections(db: Union[str, "os.PathLike[str]"], station: Union[str, Sequence[str], None] = None,
                    start: Time = None, end: Time = None) -> "pandas.DataFrame":
    """The stored detections (of ``station``: a label or several) that began in [start, end)."""
    import pandas as pd
    db = os.fspath(db)
    stations = [station] if isinstance(station, str) else list(station or [])
    lo, hi = _micros(start, "start"), _micros(end, "end")
    postgres = db.startswith(("postgresql://", "postgres://"))
    mark = "%s" if postgres else "?"
    sql, args = _SELECT + " WHERE 1 = 1", []
    if stations:
        sql += " AND s.label IN (" + ", ".join([mark] * len(stations)) + ")"
        args += stations
    if lo is not None:
        sql += f" AND d.begin_utc >= {mark}"
        args.append(lo)
    if hi is not None:
        sql += f" AND d.begin_utc < {mark}"
        args.append(hi)
    sql += " ORDER BY d.begin_utc IS NULL, d.begin_utc, d.id"
    try:
        if postgres:
            try:
                import psycopg2
            except ImportError:
                raise SignalPatternError(f"{_safe(db)}: reading PostgreSQL needs psycopg2 "
                                         "(Debian: apt-get install python3-psycopg2)") from None
            with psycopg2.connect(db) as conn, conn.cursor() as cur:
                cur.execute(sql, args)
                rows = cur.fetchall()
            conn.close()
        else:
            if not os.path.isfile(db):
                raise SignalPatternError(f"{db}: no such database")
            try:
                rows = _sqlite_rows(f"file:{_quote_path(db)}?mode=ro", sql, args)
            except sqlite3.OperationalError:
                # A file we may only read in a folder we cannot write (an archive): a database in
                # WAL mode cannot be opened for reading there; read it as an unchanging file.
                if os.access(db, os.W_OK):
                    raise
                rows = _sqlite_rows(f"file:{_quote_path(db)}?immutable=1", sql, args)
    except SignalPatternError:
        raise
    except Exception as e:  # sqlite3.Error, psycopg2.Error: the database's own words
        raise SignalPatternError(f"{_safe(db)}: cannot read the detections ({str(e).strip()})") from None
    df = pd.DataFrame.from_records(rows, columns=COLUMNS)
    for c in ("begin_utc", "end_utc", "stored_utc"):
        df[c] = pd.to_datetime(df[c].astype("Int64"), unit="us", utc=True)
    for c in ("confidence", "distance", "threshold"):  # -1: the library's rule has none
        df[c] = df[c].where(df[c] >= 0)
    return df


def _sqlite_rows(uri, sql, args):
    conn = sqlite3.connect(uri, uri=True)
    try:
        return conn.execute(sql, args).fetchall()
    finally:
        conn.close()


def _quote_path(path: str) -> str:
    from urllib.parse import quote
    return quote(os.path.abspath(path))


def _safe(db: str) -> str:
    """The URL without its password, for messages."""
    if "://" in db and "@" in db:
        scheme, rest = db.split("://", 1)
        cred, host = rest.rsplit("@", 1)
        return f"{scheme}://{cred.split(':', 1)[0]}@{host}"
    return db
