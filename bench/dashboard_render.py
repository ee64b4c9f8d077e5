#!/usr/bin/env python3
"""The dashboard page's first render in headless chromium: from navigation until the board,
the feed and the spots are on the page (document.body.dataset.ready), median of 5 loads.
Usage: dashboard_render.py SIGPAT DB [PATH]   (PATH: a page view, e.g. '#/timeline/Station 0/2026-06-01')"""
import re
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

sigpat, db = sys.argv[1], sys.argv[2]
view = sys.argv[3] if len(sys.argv) > 3 else ""
server = subprocess.Popen([sigpat, "serve", "--db", db, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
url = re.search(r"on (http://[^ ]+/)", server.stdout.readline()).group(1)
options = webdriver.ChromeOptions()
for a in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
          "--disable-component-update", "--disable-sync", "--no-first-run", "--user-data-dir=" + tempfile.mkdtemp()]:
    options.add_argument(a)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    times = []
    for _ in range(5):
        browser.get("about:blank")
        t0 = time.monotonic()
        browser.get(url + view)
        while not browser.execute_script("return document.body && document.body.dataset.ready === '1'"):
            time.sleep(0.005)
        if view:  # a view that loads its own data: until it is drawn
            while not browser.execute_script("return document.querySelectorAll('#timeline rect.airing, #spot-airings li').length > 0"):
                time.sleep(0.005)
        times.append(time.monotonic() - t0)
    stations = browser.execute_script("return document.querySelectorAll('#board .station').length")
    print(f"first render {url + view}: median {statistics.median(times) * 1000:.0f} ms, worst {max(times) * 1000:.0f} ms "
          f"({stations} stations on the board)")
finally:
    browser.quit()
    server.terminate()
    server.wait()
