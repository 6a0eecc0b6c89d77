#!/usr/bin/env python3
"""The station's status page in a real browser, its /status and /events against the record.

A real xarveld-station runs the real tool on four simulated boards paced at 115200 baud, one of
which refuses to be programmed, with --loop so that it stays up once every board is done and
starts a second board on each on Enter; the image and the driver are named with markup.
Debian's headless chromium, driven by selenium through chromium-driver, watches the page; a
plain reader follows /events from its first event, another the page's own stream.

  station_page_test.py --station S --tool T --sim SIM --artifacts DIR
Exit status 0 when every check holds, 1 when one fails, 77 (skipped) without chromium or
selenium.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

from web_support import (SKIP, browser, browser_missing, check_read_only, fail, interrupt,
                         kill_all, page_url, records, run, screenshot, start_sims, wait_for)
# Long, as a line's names are: the failure's message fills a 1920 px table.
IMAGE = ("<img src=x onerror=document.title='pwned'> first article of the line's control board, "
         "release build for the 2 MB part, signed.bin")
DRIVER = "<svg onload=window.pwned=1>drv.bin"
PAGE_TITLE = "xarveld-station"


class EventReader(threading.Thread):
    """Follows /events from the station's first event (Last-Event-ID: 0) until the stream ends."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.url = url
        self.events = []
        self.snapshots = []
        self.comments = 0

    def run(self):
        request = urllib.request.Request(self.url + "events", headers={"Last-Event-ID": "0"})
        try:
            with urllib.request.urlopen(request, timeout=30) as stream:
                for raw in stream:
                    line = raw.decode("utf-8").rstrip("\n")
                    if line.startswith(":"):
                        self.comments += 1
                    elif line.startswith("data: "):
                        data = json.loads(line[6:])
                        (self.snapshots if data["type"] == "snapshot" else self.events).append(data)
        except (urllib.error.URLError, OSError, ValueError):
            pass  # the station has ended


class PageReader(threading.Thread):
    """Follows the page's own stream, /events?view=page, noting when each message came."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.url = url
        self.messages = []  # (monotonic time, message)
        self.ids = 0
        self.bytes = 0

    def run(self):
        try:
            with urllib.request.urlopen(self.url + "events?view=page", timeout=30) as stream:
                for raw in stream:
                    self.bytes += len(raw)
                    line = raw.decode("utf-8").rstrip("\n")
                    self.ids += line.startswith("id:")
                    if line.startswith("data: "):
                        self.messages.append((time.monotonic(), json.loads(line[6:])))
        except (urllib.error.URLError, OSError, ValueError):
            pass  # the station has ended


def check_page_stream(reader):
    """The snapshot once, then at most a summary a second of what changed, without what the
    page does not show."""
    messages = [m for _, m in reader.messages]
    if not messages or messages[0]["type"] != "snapshot" or reader.ids:
        fail("the page's stream: %d ids, first %r" % (reader.ids, messages[:1]))
    state = {slot["name"]: slot["state"] for slot in messages[0]["slots"]}
    summaries = messages[1:]
    if any(m["type"] != "summary" for m in summaries):
        fail("the page's stream sent more than summaries: %r" % {m["type"] for m in summaries})
    # The last is the station's goodbye, sent at once.
    times = [reader.messages[i + 1][0] for i in range(len(summaries) - 1)]
    gaps = [later - earlier for earlier, later in zip(times, times[1:])]
    if gaps and min(gaps) < 0.9:
        fail("the page's stream sent summaries %.2f s apart" % min(gaps))
    for summary in summaries:
        for name, changed in summary.get("slots", {}).items():
            state[name] = changed.get("state", state[name])
            left_out = {"bytes_done", "bytes_total", "kib_per_second"} & set(changed)
            if left_out or ("seconds" in changed and state[name] == "running"):
                fail("the page's stream sent slot %s %r" % (name, changed))
    seconds = reader.messages[-1][0] - reader.messages[0][0]
    print("the page's stream: %d summaries, %d bytes in %.0f s" % (
        len(summaries), reader.bytes, seconds))


def page_state(driver):
    return driver.execute_script("""
        const tiles = {};
        for (const tile of document.querySelectorAll('.tile')) {
          const part = c => tile.querySelector('.' + c).textContent;
          tiles[tile.dataset.slot] = { cls: tile.className, percent: part('percent'),
            result: part('result'), message: part('message'), reason: part('reason'),
            board: part('board'), done: part('done') };
        }
        const totals = {};
        for (const t of document.querySelectorAll('[data-total]'))
          totals[t.dataset.total] = t.querySelector('b').textContent;
        return { tiles, totals, link: document.getElementById('link').textContent,
                 images: document.getElementById('images').textContent,
                 failures: document.querySelector('#failures tbody').textContent,
                 title: document.title, pwned: window.pwned === undefined ? null : window.pwned,
                 marker: window.stillTheSamePage === undefined ? null : window.stillTheSamePage,
                 markup: document.querySelectorAll('img, svg, script[src]').length };""")


def check_layout(driver, width):
    """The failures' headers and their time, slot, board and result keep every word on one line;
    on a phone a failed tile comes first."""
    found = driver.execute_script("""
        const split = [];
        const cells = [...document.querySelectorAll('#failures th')];
        for (const row of document.querySelectorAll('#failures tbody tr'))
          cells.push(...[...row.cells].slice(0, 4));
        for (const cell of cells) {
          const node = cell.firstChild;
          if (!node) continue;
          for (const word of node.textContent.matchAll(/\\S+/g)) {
            const range = document.createRange();
            range.setStart(node, word.index);
            range.setEnd(node, word.index + word[0].length);
            const tops = new Set([...range.getClientRects()].map(r => Math.round(r.top)));
            if (tops.size > 1) split.push(word[0]);
          }
        }
        const shown = [...document.querySelectorAll('.tile')].sort((x, y) => {
          const a = x.getBoundingClientRect(), b = y.getBoundingClientRect();
          return a.top - b.top || a.left - b.left; });
        return { split, first: shown[0].dataset.slot };""")
    if found["split"]:
        fail("at %d px the failures split words: %r" % (width, found["split"]))
    if width < 600 and found["first"] != "c":
        fail("at %d px the first tile is %s, not the failed c" % (width, found["first"]))


def check_against_record(records, status, events):
    """/status and /events agree with station-record.jsonl, field by field."""
    by_slot = {r["slot"]: r for r in records}
    for slot in status["slots"]:
        record = by_slot[slot["name"]]
        mine = [r["result"] == "PASS" for r in records if r["slot"] == slot["name"]]
        for field, expected in [("board", record["board"]), ("attempt", record["attempt"]),
                                ("result", record["result"]), ("passed", sum(mine)),
                                ("failed", len(mine) - sum(mine)),
                                ("reason_code", record["reason_code"] or "")]:
            if slot[field] != expected:
                fail("/status slot %s %s: %r, the record says %r" % (
                    slot["name"], field, slot[field], expected))
    passed = sum(r["result"] == "PASS" for r in records)
    totals = status["totals"]
    if (totals["passed"], totals["failed"]) != (passed, len(records) - passed):
        fail("/status totals %r against %d records, %d passed" % (totals, len(records), passed))
    if totals["yield_percent"] != round(100.0 * passed / len(records), 1):
        fail("/status yield %r" % totals["yield_percent"])
    if totals.get("serials_left") != 100 - len(records):
        fail("/status serials_left %r after %d boards" % (totals.get("serials_left"), len(records)))
    failures = [(f["slot"], f["directory"], f["result"], f["reason_code"])
                for f in status["failures"]]
    failed = [(r["slot"], r["directory"], r["result"], r["reason_code"])
              for r in records if r["result"] != "PASS"]
    if failures != failed[::-1]:
        fail("/status failures %r" % failures)
    seqs = [e["seq"] for e in events]
    if seqs != list(range(1, len(events) + 1)):
        fail("/events skipped or repeated events: %d events, numbered %r..." % (len(seqs), seqs[:8]))
    for record in records:
        key = (record["slot"], record["board"], record["attempt"], record["directory"])
        mine = {e["type"]: e for e in events
                if (e["slot"], e["board"], e["attempt"], e["directory"]) == key}
        if not {"start", "result", "record"} <= set(mine):
            fail("/events lacks events of %r: has %r" % (key, sorted(mine)))
        result = mine["result"]
        for field, expected in [("result", record["result"]),
                                ("exit_status", record["exit_status"]),
                                ("seconds", record["duration_s"]),
                                ("reason_code", record["reason_code"] or "")]:
            if result[field] != expected:
                fail("/events result of %s %s: %r, the record says %r" % (
                    record["slot"], field, result[field], expected))
        if mine["start"]["time"] != record["start"] or result["time"] != record["end"]:
            fail("/events times of %s: %s, %s" % (record["slot"], mine["start"]["time"],
                                                   result["time"]))
        if mine["record"]["written"] is not True:
            fail("/events: the record of %s not written" % record["slot"])
        if record["result"] == "PASS":
            percents = [e["percent"] for e in events if e["type"] == "progress"
                        and (e["slot"], e["board"]) == (record["slot"], record["board"])
                        and e["phase"] == "burning"]
            if not percents or percents != sorted(percents) or percents[-1] < 90:
                fail("/events burning progress of %s: %r" % (record["slot"], percents))
    starts = [e for e in events if e["type"] == "start"]
    if len(starts) != len(records):
        fail("%d start events for %d records" % (len(starts), len(records)))


def main():
    parser = argparse.ArgumentParser()
    for name in ["--station", "--tool", "--sim", "--artifacts"]:
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    missing = browser_missing()
    if missing:
        print("SKIPPED: " + missing)
        return SKIP

    os.makedirs(args.artifacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="xarveld-page-")
    with open(os.path.join(work, IMAGE), "wb") as image:
        image.write(os.urandom(32 * 1024))
    with open(os.path.join(work, DRIVER), "wb") as driver_file:
        driver_file.write(os.urandom(4 * 1024))
    sims, ports = start_sims(args.sim, work, "abcd", "c", ["--pace", "115200"])
    station = subprocess.Popen(
        [args.station, "--tool", args.tool, "--loop", "--http", "127.0.0.1:0",
         "--serial-at", "0x100", "--serial-format", "u32le", "--serial-range", "1-100",
         # A ledger of the case's own, never the PC's.
         "--ledger", os.path.join(work, "station-ledger.sqlite"), "--new-ledger"] +
        ["%s=%s" % (name, ports[name]) for name in "abcd"] + ["--", "-l", DRIVER, "-p", "-v", IMAGE],
        cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    driver = None
    try:
        url = page_url(station, "status page")
        # Read-only: GET and HEAD only.
        check_read_only(url, ["POST", "PUT", "DELETE", "PATCH"], ["", "status", "events"])

        driver = browser(os.path.join(work, "chromium-profile"))
        driver.get(url)
        wait_for("four tiles", lambda: len(page_state(driver)["tiles"]) == 4, 15)
        driver.execute_script("window.stillTheSamePage = 'yes';")
        page_reader = PageReader(url)
        page_reader.start()
        # Late, as a line's system that comes back: the events so far come first.
        reader = EventReader(url)
        reader.start()

        # A tile's percentage rises without a reload.
        def rising():
            seen = []
            def more():
                state = page_state(driver)
                if state["marker"] != "yes":
                    fail("the page was reloaded")
                text = state["tiles"]["a"]["percent"]
                if text.endswith("%"):
                    value = int(text[:-1])
                    if not seen or value != seen[-1]:
                        seen.append(value)
                return len(seen) >= 3 and seen[-1] > seen[0]
            wait_for("tile a's percentage to rise", more, 30)
            return seen
        print("tile a's percentage rose:", rising())

        # The failing board turns red with the tool's message; markup in names stays text.
        def c_failed():
            c = page_state(driver)["tiles"]["c"]
            return "fail" in c["cls"].split() and c["result"] == "FAIL" and c
        c = wait_for("tile c to turn red", c_failed, 30)
        if c["message"] != "Unable to program " + IMAGE + ".":
            fail("tile c's message: %r" % c["message"])
        state = page_state(driver)
        if state["title"] != PAGE_TITLE or state["pwned"] is not None or state["markup"] != 0:
            fail("markup from a file name ran: title %r, pwned %r, %d elements" % (
                state["title"], state["pwned"], state["markup"]))
        if IMAGE not in state["images"] or DRIVER not in state["images"]:
            fail("the images' names are not shown as text: %r" % state["images"])
        wait_for("c's failure, with its code, in the list of failures",
                 lambda: "REFUSED: Unable to program " + IMAGE in page_state(driver)["failures"], 5)
        for name, width, height, mobile in [("station-page.png", 1920, 1080, False),
                                            ("station-page-phone.png", 390, 844, True)]:
            screenshot(driver, os.path.join(args.artifacts, name), width, height, mobile)
            check_layout(driver, width)
        driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

        # Every board done: the page's totals, /status and /events against the record.
        lines = wait_for("four records", lambda: records(work, 4), 60)
        passed = sum(r["result"] == "PASS" for r in lines)
        if passed != 3:
            fail("the record: %r" % [(r["slot"], r["result"]) for r in lines])
        # Each board drew a number from the pool of 100, the refused one's spoiled with it.
        expected = {"passed": str(passed), "failed": str(4 - passed), "yield": "75%",
                    "serials left": "96"}
        wait_for("the page's totals to match the record", lambda: all(
            page_state(driver)["totals"].get(k) == v for k, v in expected.items()), 5)

        # Enter: each slot's second board. Its tile keeps the slot's counts while it runs.
        station.stdin.write(b"\n")
        station.stdin.flush()
        def second_board():
            a = page_state(driver)["tiles"]["a"]
            return (a["board"] == "board 2" and a["percent"].endswith("%")
                    and a["done"] == "1 passed, 0 failed")
        wait_for("tile a to show its second board and its counts", second_board, 15)
        lines = wait_for("eight records", lambda: records(work, 8), 60)
        with urllib.request.urlopen(url + "status") as response:
            status = json.load(response)

        # A station that hangs keeps its connections open but sends nothing: the page says it
        # lost it once no heartbeat came, and is live again when the station goes on.
        station.send_signal(signal.SIGSTOP)
        try:
            wait_for("the page to say since when it lost a hung station", lambda: re.fullmatch(
                r"LOST THE STATION since \d\d:\d\d:\d\d", page_state(driver)["link"]), 20)
        finally:
            station.send_signal(signal.SIGCONT)
        wait_for("the page to be live again", lambda: page_state(driver)["link"] == "live", 10)

        # The station ends: the page says so, and the event stream ends.
        interrupt(station)
        wait_for("the page to say it lost the station",
                 lambda: page_state(driver)["link"].startswith("LOST THE STATION"), 15)
        reader.join(10)
        if reader.is_alive():
            fail("/events did not end with the station")
        if reader.comments == 0:
            fail("no heartbeat comment on /events in %d events" % len(reader.events))
        page_reader.join(10)
        check_page_stream(page_reader)
        check_against_record(lines, status, reader.events)
        check_against_record(lines, reader.snapshots[-1], reader.events)
        print("/status, /events (%d events) and the page agree with the record" % len(reader.events))
    finally:
        if driver is not None:
            driver.quit()
        kill_all([station] + sims)
    shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    run(main)
