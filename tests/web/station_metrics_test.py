#!/usr/bin/env python3
"""/metrics scraped by a real Prometheus server, its counts against the station's record.

A real xarveld-station runs the real tool on three simulated boards, one of which refuses to be
programmed, with --loop so that it stays up once they are done, numbering them from a pool named
after an image whose name holds quotes and a backslash. Debian's prometheus, on the loopback
with a configuration and data of the case's own, scrapes it every second; its HTTP API then
gives the counters back by their labels.

  station_metrics_test.py --station S --tool T --sim SIM
Exit status 0 when every check holds, 1 when one fails, 77 (skipped) without prometheus.
"""
import argparse
import collections
import http.client
import json
import os
import shutil
import sqlite3
import subprocess
import tempfile
import urllib.parse
import urllib.request

from web_support import (SKIP, fail, free_port, interrupt, kill_all, page_url, records, run,
                         start_sims, wait_for)

IMAGE = 'fw "rev 2" \\ build.bin'  # the pool's name: a label value to escape
SLOTS = "abc"


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as response:
            return response.status, response.headers, response.read()
    except OSError:
        return None, None, b""


def query(api, expression):
    status, _, body = get(api + "/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
    if status != 200:
        return None
    return [(r["metric"], float(r["value"][1])) for r in json.loads(body)["data"]["result"]]


def reason_code(work, record):
    """The attempt's code, from the record, or from its row in the ledger, which has it too."""
    if "reason_code" in record:
        return record["reason_code"] or ""
    path = os.path.join(work, "station-ledger.sqlite")
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
        row = db.execute("SELECT reason_code FROM attempts WHERE attempt_id = ?",
                         (record["attempt_id"],)).fetchone()
    if row is None:
        fail("no ledger row for %r" % record["attempt_id"])
    return row[0] or ""


def main():
    parser = argparse.ArgumentParser()
    for name in ["--station", "--tool", "--sim"]:
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    prometheus = shutil.which("prometheus")
    if not prometheus:
        print("SKIPPED: prometheus is not installed (scripts/install-deps installs it)")
        return SKIP

    work = tempfile.mkdtemp(prefix="xarveld-metrics-")
    with open(os.path.join(work, IMAGE), "wb") as image:
        image.write(os.urandom(32 * 1024))
    processes = []
    try:
        sims, ports = start_sims(args.sim, work, SLOTS, "c")
        processes += sims
        station = subprocess.Popen(
            [args.station, "--tool", args.tool, "--loop", "--http", "127.0.0.1:0",
             "--serial-at", "0x100", "--serial-format", "u32le", "--serial-range", "1-100",
             "--ledger", os.path.join(work, "station-ledger.sqlite"), "--new-ledger"] +
            ["%s=%s" % (n, ports[n]) for n in SLOTS] +
            ["--", "-p", "-v", IMAGE],
            cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        processes.append(station)
        url = page_url(station, "status page")
        status, headers, _ = get(url + "metrics")
        if status != 200 or headers["Content-Type"] != "text/plain; version=0.0.4; charset=utf-8":
            fail("/metrics: %r %r" % (status, headers and headers["Content-Type"]))
        # As every other path: read-only, and only for this station's names.
        host, port = url[len("http://"):].rstrip("/").split(":")
        for method, name, want in [("POST", host, 405), ("GET", "evil.example", 421)]:
            connection = http.client.HTTPConnection(host, int(port), timeout=5)
            connection.request(method, "/metrics", headers={"Host": name})
            if connection.getresponse().status != want:
                fail("%s /metrics as %s: not %d" % (method, name, want))
            connection.close()

        target = url[len("http://"):].rstrip("/")
        listen = "127.0.0.1:%d" % free_port()
        with open(os.path.join(work, "prometheus.yml"), "w") as config:
            config.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                         "scrape_configs:\n  - job_name: station\n"
                         "    static_configs:\n      - targets: ['%s']\n" % target)
        log = open(os.path.join(work, "prometheus.log"), "w")
        processes.append(subprocess.Popen(
            [prometheus, "--config.file=" + os.path.join(work, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(work, "data"), "--web.listen-address=" + listen],
            stdout=log, stderr=subprocess.STDOUT))
        api = "http://" + listen

        lines = wait_for("three records", lambda: records(work, len(SLOTS)), 60, poll=0.2)
        if sorted(r["result"] for r in lines) != ["FAIL", "PASS", "PASS"]:
            fail("the record: %r" % [(r["slot"], r["result"]) for r in lines])

        # Scraped after every board ended: every attempt of the record, by its labels, and the
        # slot that never passed at 0.
        def counted():
            result = query(api, "xarveld_station_attempts_total")
            if not result:
                return None
            got = {(m["slot"], m["result"], m.get("reason_code", "")): v for m, v in result}
            return got if sum(got.values()) == len(lines) else None
        got = wait_for("prometheus to scrape every attempt", counted, 20, poll=0.2)
        expected = collections.Counter(
            (r["slot"], "pass" if r["result"] == "PASS" else "fail", reason_code(work, r))
            for r in lines)
        zeros = {k for k, v in got.items() if v == 0}
        if {k: v for k, v in got.items() if v} != expected or zeros != {("c", "pass", "")}:
            fail("prometheus has %r, the record %r" % (got, expected))
        durations = query(api, "xarveld_station_attempt_duration_seconds_count")
        if sorted((m["slot"], v) for m, v in durations) != [(n, 1.0) for n in SLOTS]:
            fail("durations counted: %r" % durations)
        # The refused board spoiled its number too.
        left = query(api, "xarveld_station_serials_left")
        if [(m.get("pool"), v) for m, v in left] != [(IMAGE, 97.0)]:
            fail("serials left: %r" % left)
        for expression in ["xarveld_station_up", "process_open_fds > 0",
                           "process_resident_memory_bytes > 0",
                           "xarveld_station_boards_in_progress == 0",
                           "xarveld_station_ledger_writes_pending == 0"]:
            if len(query(api, expression) or []) != 1:
                fail("no sample for " + expression)
        print("prometheus scraped %d attempts, as the record has them: %r" % (len(lines), got))

        interrupt(station)
    finally:
        kill_all(processes)
    shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    run(main)
