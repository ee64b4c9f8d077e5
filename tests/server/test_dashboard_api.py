"""The dashboard's API over a store filled by real scans: what it answers, what it refuses
(400s, tokens, paths out of the evidence directory) and its live stream under many clients."""
import json
import socket
import sqlite3
import subprocess
import threading
import time

import pytest

from conftest import schedule_text, DAY, HOSTILE_PATTERN, HOSTILE_SPOT, SIGPAT, recording, run, scan_into, wait_for, write_wav


def all_detections(server, **params):
    """Every detection through before_id paging, newest first."""
    rows, query = [], "&".join(f"{k}={v}" for k, v in params.items())
    next_page = {}
    while next_page is not None:
        extra = "".join(f"&{k}={v}" for k, v in next_page.items())
        status, page = server.json(f"api/detections?limit=7&{query}{extra}")
        assert status == 200, page
        rows += page["detections"]
        next_page = page["next"]
    return rows


def test_api_gives_what_the_scans_stored(corpus, serve):
    server = serve("--db", corpus.db, "--evidence", corpus.evidence)
    status, body = server.json("api/stations")
    assert status == 200
    labels = [s["label"] for s in body["stations"]]
    assert sorted(labels) == sorted(corpus.detections)
    for s in body["stations"]:
        assert s["last_detection"]["station"] == s["label"]

    # Paged newest first, every stored detection once, each the scan's own.
    rows = all_detections(server)
    scanned = sum(len(v) for v in corpus.detections.values())
    assert scanned >= 9 and len(rows) == scanned
    ids = [r["id"] for r in rows]
    assert ids == sorted(ids, reverse=True) and len(set(ids)) == len(ids)
    for station, found in corpus.detections.items():
        mine = [r for r in rows if r["station"] == station]
        assert sorted(r["begin_seconds"] for r in mine) == pytest.approx(sorted(d["begin_s"] for d in found), abs=1e-3)
        assert all(r["begin_utc"].startswith(DAY) for r in mine)
    hostile = [r for r in rows if r["pattern"] == HOSTILE_PATTERN + ".tvs"]
    assert hostile and hostile[0]["spot"] == HOSTILE_SPOT and hostile[0]["advertiser"] == "Acme & <Sons>"

    # Filters: station, pattern, time range; after_id pages oldest first.
    beta = all_detections(server, station="Beta%20FM")
    assert beta and len(beta) < len(rows) and {r["station"] for r in beta} == {"Beta FM"}
    rise = [r for r in rows if r["pattern"] == "rise.tvs"][0]["pattern_hash"]
    assert {r["pattern"] for r in all_detections(server, pattern=rise)} == {"rise.tvs"}
    nine = all_detections(server, **{"from": f"{DAY}T09:00:00Z", "to": f"{DAY}T10:00:00Z"})
    assert nine and all(r["begin_utc"].startswith(f"{DAY}T09") for r in nine)
    status, page = server.json(f"api/detections?after_id={min(ids)}&limit=2")
    assert [r["id"] for r in page["detections"]] == sorted(ids)[1:3] and page["next"] == {"after_id": sorted(ids)[2]}

    # One detection, its evidence, the counts.
    status, one = server.json(f"api/detections/{ids[0]}")
    assert status == 200 and one["id"] == ids[0] and one["evidence_url"] == "/api/evidence/tone.wav"
    status, counts = server.json("api/counts")
    assert sum(c["count"] for c in counts["counts"]) == scanned and {c["day"] for c in counts["counts"]} == {DAY}


def test_bad_parameters_get_400_with_the_parameter_named(corpus, serve):
    server = serve("--db", corpus.db)
    for query, word in [("detections?limit=0", "limit"), ("detections?limit=abc", "limit"),
                        ("detections?limit=100000", "limit"), ("detections?from=yesterday", "from"),
                        ("detections?from=2026-02-30", "from"), ("detections?to=2026-01-01T25:00:00Z", "to"),
                        (f"detections?from={DAY}&to={DAY}", "to"), ("detections?stattion=x", "stattion"),
                        ("detections?after_id=-1", "after_id"), ("detections?after_id=1&before_id=5", "before_id"),
                        ("detections?station=", "station"), ("detections?limit=1&limit=2", "limit"),
                        ("detections/abc", "id"), ("detections/0", "id"), ("events?from=x", "from"),
                        ("detections?station=x%27%20OR%201=1--", None)]:
        status, body = server.json("api/" + query)
        if word is None:  # text that would break SQL built by hand is just a station with no airings
            assert status == 200 and body["detections"] == [], query
            continue
        assert status == 400, query
        assert word in body["error"], (query, body)
    assert server.json("api/detections/999999")[0] == 404
    assert server.json("api/nothing")[0] == 404


def test_reconcile_takes_a_schedule_and_refuses_what_it_cannot_read(corpus, serve):
    server = serve("--db", corpus.db)
    post = lambda body, query="": server.get("api/reconcile" + query, method="POST", data=body.encode(),
                                             headers={"Content-Type": "text/csv"})
    status, _, body = post(schedule_text())
    if status == 404 and b"without reconciliation" in body:
        pytest.skip("reconcile test skipped: this sigpat was built without the proof library")
    assert status == 200, body
    result = json.loads(body)
    booked = [r for r in result["rows"] if r["line"] > 0]
    assert [(r["line"], r["status"]) for r in booked] == [(2, "aired"), (3, "not_aired")]
    assert booked[0]["aired_start"].startswith(f"{DAY}T09:00:0") and booked[0]["detection_id"] > 0
    assert [p["line"] for p in result["problems"]] == [4, 5]
    beta = [s for s in result["stations"] if s["station"] == "Beta FM"][0]
    assert beta["bookings"] == 2 and beta["aired"] == 1 and beta["not_aired"] == 1
    for bad, word in [("", "empty"), ("a,b\n1,2\n", "schedule"), (schedule_text(), "to")]:
        status, _, body = post(bad, "?from=2026-03-03&to=2026-03-02" if word == "to" else "")
        assert status == 400 and word in json.loads(body)["error"], (bad, body)


def test_evidence_is_served_with_ranges_and_nothing_outside_its_directory(corpus, serve):
    server = serve("--db", corpus.db, "--evidence", corpus.evidence)
    whole = (corpus.evidence / "tone.wav").read_bytes()
    status, headers, body = server.get("api/evidence/tone.wav")
    assert status == 200 and body == whole and headers["Content-Type"] == "audio/wav"
    status, headers, body = server.get("api/evidence/tone.wav", {"Range": "bytes=1000-1999"})
    assert status == 206 and body == whole[1000:2000]
    assert headers["Content-Range"] == f"bytes 1000-1999/{len(whole)}"
    (corpus.evidence / "link.txt").unlink(missing_ok=True)
    (corpus.evidence / "link.txt").symlink_to(corpus.dir / "secret.txt")
    for name in ["../secret.txt", "..%2fsecret.txt", "%2e%2e/secret.txt", "x/../../secret.txt", "%2fetc%2fpasswd",
                 "link.txt", "./tone.wav", "tone.wav%00.txt", "..\\secret.txt"]:
        status, _, body = server.get("api/evidence/" + name)
        assert status in (400, 404), name
        assert b"not for the web" not in body and b"root:" not in body, name
    for path in ["../../../etc/passwd", "%2e%2e/%2e%2e/etc/passwd", "api/../../etc/passwd"]:
        status, _, body = server.get(path)
        assert status in (400, 404) and b"root:" not in body, path


def test_token_guards_page_api_evidence_and_live_stream(corpus, serve, tmp_path):
    token = "s3cret-token-1234"
    (tmp_path / "token").write_text(token + "\n")
    server = serve("--db", corpus.db, "--evidence", corpus.evidence, "--token-file", tmp_path / "token")
    paths = ["", "app.js", "style.css", "api/stations", "api/detections", "api/evidence/tone.wav", "api/live",
             "api/counts"]
    for path in paths:
        status, _, body = server.get(path)
        assert status == 401, path
        assert b"alert" not in body and b"Beta FM" not in body, path
        assert server.get(path, {"Authorization": "Bearer wrong-token-0000"})[0] == 401, path
    for path in paths:
        if path == "api/live":
            continue
        assert server.get(path, {"Authorization": "Bearer " + token})[0] == 200, path
    # The page's login form sets the cookie.
    status, _, body = server.get("", {})
    assert b'name="token"' in body
    status, headers, _ = server.get("login", method="POST", data=b"token=wrong-token-0000",
                                    headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert status == 401 and "Set-Cookie" not in headers
    conn = socket.create_connection(("127.0.0.1", int(server.url.rsplit(":", 1)[1].strip("/"))))
    form = f"token={token}".encode()
    conn.sendall(b"POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                 b"Content-Length: " + str(len(form)).encode() + b"\r\nConnection: close\r\n\r\n" + form)
    reply = b""
    while chunk := conn.recv(4096):
        reply += chunk
    conn.close()
    head = reply.split(b"\r\n\r\n")[0].decode()
    assert head.startswith("HTTP/1.1 303")
    cookie = [line for line in head.split("\r\n") if line.lower().startswith("set-cookie:")][0]
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    value = cookie.split(":", 1)[1].split(";")[0].strip()
    assert server.get("api/stations", {"Cookie": value})[0] == 200


def test_listening_beyond_loopback_needs_a_token(corpus, tmp_path):
    r = subprocess.run([SIGPAT, "serve", "--db", corpus.db, "--listen", "0.0.0.0:0"], capture_output=True, text=True,
                       timeout=30)
    assert r.returncode == 1 and "needs a token" in r.stderr and r.stderr.count("\n") == 1
    r = subprocess.run([SIGPAT, "serve", "--db", str(tmp_path / "none.db")], capture_output=True, text=True, timeout=30)
    assert r.returncode == 1 and "none.db" in r.stderr and not (tmp_path / "none.db").exists()
    (tmp_path / "short").write_text("abc\n")
    r = subprocess.run([SIGPAT, "serve", "--db", corpus.db, "--token-file", str(tmp_path / "short")],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 1 and "short" in r.stderr


def test_a_store_that_cannot_be_read_gives_503(corpus, serve, tmp_path):
    db = tmp_path / "copy.db"
    db.write_bytes(open(corpus.db, "rb").read())
    # Another process holds the database locked (exclusive locking mode, a write transaction).
    con = sqlite3.connect(db, timeout=5)
    con.execute("PRAGMA locking_mode=EXCLUSIVE")
    con.execute("BEGIN EXCLUSIVE")
    con.execute("CREATE TABLE hold(x)")
    try:
        server = serve("--db", db)
        status, body = server.json("api/detections")
        assert status == 503 and "not available" in body["error"] and "copy.db" in body["error"]
    finally:
        con.rollback()
        con.close()
    assert wait_for(lambda: server.json("api/detections")[0] == 200, 10)
    db.write_bytes(b"this is not a database" * 100)
    status, body = server.json("api/stations")
    assert status == 503 and "not available" in body["error"]


def read_events(sock, until_data, timeout):
    """Server-sent event text from a socket until `until_data` appears or the time is up."""
    sock.settimeout(0.2)
    text, end = b"", time.monotonic() + timeout
    while until_data not in text and time.monotonic() < end:
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        text += chunk
    return text


def test_two_hundred_live_clients_all_get_a_new_detection(corpus, serve, tmp_path):
    db = tmp_path / "live.db"
    db.write_bytes(open(corpus.db, "rb").read())
    server = serve("--db", db)
    port = int(server.url.rsplit(":", 1)[1].strip("/"))
    clients = []
    for _ in range(200):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"GET /api/live HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n")
        clients.append(s)
    for s in clients:
        assert b"retry:" in read_events(s, b"retry:", 10)
    wav = write_wav(tmp_path / "new.wav", recording(12, [corpus.rise], seed=99))
    found = scan_into(db, corpus.pats, wav, "Delta", "2026-03-03T12:00:00Z")
    assert found
    reported = time.monotonic()
    got = [read_events(s, b'"Delta"', 5) for s in clients]
    late = time.monotonic() - reported
    assert all(b"event: detection" in g and b'"station":"Delta"' in g for g in got)
    assert late < 5
    for s in clients:
        s.close()
    # The server still answers once they are gone.
    assert wait_for(lambda: server.json("api/stations")[0] == 200, 5)


def test_monitor_serves_the_dashboard_from_its_own_process(corpus, tmp_path):
    """monitor --serve: the live stream carries the monitor's detections of a radio stream (an
    MP3 served endlessly, paced, by the monitor tests' server); the server goes with the monitor."""
    import os
    import re
    import shutil
    import signal
    import sys

    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        pytest.skip("monitor --serve test skipped: ffmpeg not found (apt-get install ffmpeg)")
    www = tmp_path / "www"
    www.mkdir()
    write_wav(tmp_path / "radio.wav", recording(12, [corpus.chime], seed=7))
    subprocess.run([ffmpeg, "-v", "error", "-i", str(tmp_path / "radio.wav"), "-b:a", "128k", str(www / "radio.mp3")],
                   check=True, timeout=60)
    here = os.path.dirname(os.path.abspath(__file__))
    streamer = subprocess.Popen([sys.executable, os.path.join(here, "..", "cli", "stream_server.py"), str(www),
                                 str(tmp_path / "port"), "--rate", "64000"])
    monitor = None
    try:
        assert wait_for(lambda: (tmp_path / "port").exists() and (tmp_path / "port").read_text().strip(), 10)
        stream_port = int((tmp_path / "port").read_text().split()[0])
        db = tmp_path / "monitor.db"
        monitor = subprocess.Popen([SIGPAT, "monitor", "--json", "--db", str(db), "--serve", "127.0.0.1:0", "-p",
                                    str(corpus.pats), "--station", f"Live=http://127.0.0.1:{stream_port}/live/radio.mp3",
                                    "--status", str(tmp_path / "status.log"), "--evidence", str(tmp_path / "evidence"),
                                    "--pre", "1", "--post", "1", "--evidence-format", "flac"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        url = re.search(r"on (http://[^ ]+/)", monitor.stdout.readline()).group(1)
        port = int(url.rsplit(":", 1)[1].strip("/"))
        live = socket.create_connection(("127.0.0.1", port))
        live.sendall(b"GET /api/live HTTP/1.1\r\nHost: x\r\n\r\n")
        got = read_events(live, b"event: detection", 20)
        assert b"event: detection" in got and b'"station":"Live"' in got, got[-500:]
        live.close()
        # The evidence the monitor writes is served by its own dashboard, with ranges.
        import urllib.request
        def evidence_url():
            with urllib.request.urlopen(f"{url}api/detections?station=Live") as r:
                rows = json.load(r)["detections"]
            return next((d["evidence_url"] for d in rows if d.get("evidence_url")), None)
        assert wait_for(lambda: evidence_url() is not None, 15), "no evidence was stored"
        ranged = urllib.request.Request(url + evidence_url().lstrip("/"), headers={"Range": "bytes=0-3"})
        with urllib.request.urlopen(ranged) as r:
            assert r.status == 206 and r.read() == b"fLaC"
        monitor.send_signal(signal.SIGTERM)
        out, err = monitor.communicate(timeout=30)
        assert monitor.returncode == 143, err
        assert any(line.startswith("{") for line in out.splitlines())
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=2)
    finally:
        for p in (monitor, streamer):
            if p is not None and p.poll() is None:
                p.kill()
                p.communicate()
