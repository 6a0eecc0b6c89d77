#!/usr/bin/env python3
"""The line's page in a real browser: three stations on one real PostgreSQL ledger, one killed.

A throwaway PostgreSQL server holds the ledger. Three real xarveld-station processes, each
under a host name of its own (a UTS namespace: three PCs of a line), run the real tool on
simulated boards; line-1's second board refuses to be programmed. xarveld-line reads the ledger
and Debian's headless chromium, driven by selenium, watches its page. line-3 is killed with
SIGKILL early, and the other checks run while its lease of 30 s runs out: three tiles, the
failure on the page within 2 s of the station's word of it, the totals against
`xarveld-station --report --yield --csv`, then line-3 silent. Last, the server stops: the page
says the ledger is unreachable, and xarveld-line still ends at once on SIGTERM.

  line_page_test.py --line L --station S --tool T --sim SIM --artifacts DIR
Exit status 0 when every check holds, 1 when one fails, 77 (skipped) without chromium,
selenium, PostgreSQL's server or a UTS namespace.
"""
import argparse
import csv
import glob
import io
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

from web_support import (SKIP, browser, browser_missing, check_read_only, fail, free_port,
                         kill_all, page_url, run, screenshot, start_sims, wait_for)

DB_USER = "line"


def postgres_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


class Postgres:
    """A server of its own on 127.0.0.1 (the stations' UTS namespaces share the network), run as
    the postgres user when the test runs as root, as PostgreSQL insists."""

    def __init__(self, bin_dir, work):
        self.bin = bin_dir
        self.dir = os.path.join(work, "pg")
        self.port = free_port()
        os.makedirs(self.dir)
        self.user = None
        if os.geteuid() == 0:
            self.user = pwd.getpwnam("postgres")
            os.chown(self.dir, self.user.pw_uid, self.user.pw_gid)
        self.run("initdb", "-D", self.dir + "/data", "-U", DB_USER, "-A", "trust", "-E", "UTF8",
                 "--locale=C", "--no-sync", "--no-instructions")
        with open(self.dir + "/data/postgresql.conf", "a") as conf:
            conf.write("listen_addresses = '127.0.0.1'\nport = %d\nunix_socket_directories = '%s'\n"
                       "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
                       % (self.port, self.dir))
        self.run("pg_ctl", "-D", self.dir + "/data", "-l", self.dir + "/server.log", "-w", "-s",
                 "start")
        self.location = "postgresql://%s@127.0.0.1:%d/postgres" % (DB_USER, self.port)

    def run(self, program, *arguments):
        command = [os.path.join(self.bin, program)] + list(arguments)
        if self.user is not None:
            command = ["runuser", "-u", "postgres", "--"] + command
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, cwd=self.dir)

    def stop(self):
        subprocess.run((["runuser", "-u", "postgres", "--"] if self.user else []) +
                       [os.path.join(self.bin, "pg_ctl"), "-D", self.dir + "/data", "-m",
                        "immediate", "-s", "stop"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def uts_prefix():
    """How to run a command under a host name of its own, or None."""
    for prefix in (["unshare", "--uts"], ["unshare", "--user", "--map-root-user", "--uts"]):
        if subprocess.run(prefix + ["hostname", "probe"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return prefix
    return None


class Station:
    """A station of its own host name; its plain lines are noted with when they came."""

    def __init__(self, prefix, host, args, location, ports, work):
        directory = os.path.join(work, host)
        os.makedirs(directory)
        slots = ["%s=%s" % (name, port) for name, port in ports]
        self.lines = []
        self.process = subprocess.Popen(
            prefix + ["sh", "-c", 'hostname "$0" && exec "$@"', host, args.station,
                      "--tool", args.tool, "--loop", "--ledger", location] + slots +
            ["--", "-p", "-v", os.path.join(work, "image.bin")],
            cwd=directory, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=open(os.path.join(directory, "stderr"), "w"))
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for raw in self.process.stdout:
            self.lines.append((time.monotonic(), raw.decode("utf-8", "replace")))

    def said(self, pattern):
        return next((t for t, line in self.lines if re.search(pattern, line)), None)


def page_state(driver):
    return driver.execute_script("""
        const tiles = {};
        for (const tile of document.querySelectorAll('.tile'))
          tiles[tile.dataset.host] = { state: tile.dataset.state,
            said: tile.querySelector('.state').textContent,
            slots: [...tile.querySelectorAll('.slot')].map(s => s.textContent) };
        const totals = {};
        for (const t of document.querySelectorAll('[data-total]'))
          totals[t.dataset.total] = t.querySelector('b').textContent;
        return { tiles, totals, link: document.getElementById('link').textContent,
                 ledger: document.getElementById('ledger').textContent,
                 failures: [...document.querySelectorAll('#failures tbody tr')].map(
                   r => [...r.cells].map(c => c.textContent)),
                 pareto: document.getElementById('pareto').textContent,
                 title: document.title,
                 markup: document.querySelectorAll('img, svg, script[src]').length };""")


def check_http(url):
    """Read-only, its data never markup, and only for its own names."""
    check_read_only(url, ["POST", "PUT", "DELETE"], ["", "line.json"])
    try:
        urllib.request.urlopen(urllib.request.Request(url + "line.json",
                                                      headers={"Host": "rebound.example"}))
        fail("a request for another name was answered")
    except urllib.error.HTTPError as error:
        if error.code != 421:
            fail("a request for another name: " + str(error.code))


def report_total(args, location):
    out = subprocess.run([args.station, "--report", "--yield", "--csv", "--ledger", location],
                         check=True, stdout=subprocess.PIPE).stdout.decode()
    rows = list(csv.DictReader(io.StringIO(out)))
    total = [r for r in rows if r["group"] == "total"]
    if len(total) != 1:
        fail("--report --yield --csv gave no total: %r" % out)
    return {k: int(v) for k, v in total[0].items() if k != "group"}


def main():
    parser = argparse.ArgumentParser()
    for name in ["--line", "--station", "--tool", "--sim", "--artifacts"]:
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    for name in ["line", "station", "tool", "sim"]:
        setattr(args, name, os.path.abspath(getattr(args, name)))
    missing = browser_missing()
    if missing:
        print("SKIPPED: " + missing)
        return SKIP
    bin_dir = postgres_bin()
    prefix = uts_prefix()
    if bin_dir is None or prefix is None:
        print("SKIPPED: no PostgreSQL server under /usr/lib/postgresql, or no UTS namespace")
        return SKIP

    began = time.monotonic()
    os.makedirs(args.artifacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="xarveld-line-")
    os.chmod(work, 0o755)
    with open(os.path.join(work, "image.bin"), "wb") as image:
        image.write(os.urandom(16 * 1024))
    server = Postgres(bin_dir, work)
    subprocess.run([args.station, "--new-ledger", "--ledger", server.location], check=True,
                   stdout=subprocess.DEVNULL)
    sims, ports = start_sims(args.sim, work, ["1a", "1b", "2a", "3a"], "1b")
    line = subprocess.Popen([args.line, "--ledger", server.location, "--http", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stations, driver = [], None
    try:
        url = page_url(line, "line page", "xarveld-line")
        check_http(url)
        # line-2 and line-3 first; line-3 is killed once the page shows it.
        for n in "123":
            own = [(name[1], ports[name]) for name in sorted(ports) if name[0] == n]
            stations.append(Station(prefix, "line-" + n, args, server.location, own, work)
                            if n != "1" else own)
        driver = browser(os.path.join(work, "chromium-profile"))
        driver.get(url)
        wait_for("two live tiles", lambda: all(page_state(driver)["tiles"].get(h, {}).get(
            "state") == "alive" for h in ["line-2", "line-3"]), 15)
        stations[2].process.kill()
        killed = time.monotonic()
        stations[2].process.wait()
        # line-1 comes while the page watches: its refused board is new to it.
        stations[0] = Station(prefix, "line-1", args, server.location, stations[0], work)
        wait_for("three tiles", lambda: len(page_state(driver)["tiles"]) == 3, 10)

        # line-1's refused board: on the page within 2 s of the station's word.
        said = wait_for("line-1 to say b failed", lambda: stations[0].said(r" b FAIL board 1"), 15)
        row = wait_for("the failure on the page", lambda: next(
            (r for r in page_state(driver)["failures"] if r[1:3] == ["line-1", "b"]), None), 5)
        delay = time.monotonic() - said
        print("the failure was on the page %.2f s after the station said it" % delay)
        if delay > 2.0:
            fail("the failure took %.2f s to reach the page" % delay)
        if "refused" not in row[5]:
            fail("the failure's reason, in the tool's words: %r" % row)
        wait_for("line-2 to pass", lambda: stations[1].said(r" a PASS board 1"), 15)
        wait_for("line-1 a to pass", lambda: stations[0].said(r" a PASS board 1"), 15)

        # The totals are the ledger's own report's, once every row is in.
        def totals_agree():
            total = report_total(args, server.location)
            with urllib.request.urlopen(url + "line.json") as response:
                shown = json.load(response)["totals"]
            state = page_state(driver)["totals"]
            mine = {k: shown[k] for k in ("boards", "attempts", "first_pass", "final_pass")}
            return (mine == total and state["boards"] == str(total["boards"]) and
                    state["final yield"] == "%.1f%%" % (100.0 * total["final_pass"] /
                                                        total["boards"])) and total
        total = wait_for("the page's totals to be the report's", totals_agree, 5)
        print("the page's totals are --report --yield --csv's: %r" % total)
        state = page_state(driver)
        if state["title"] != "xarveld-line" or state["markup"] != 0:
            fail("the page was changed: %r" % state["title"])
        if not any(s.startswith("b FAIL") for s in state["tiles"]["line-1"]["slots"]):
            fail("line-1's tile: %r" % state["tiles"]["line-1"])

        # line-3, killed, is silent once its lease has run out, and says since when.
        silent = wait_for("line-3 to be silent", lambda: re.fullmatch(
            r"SILENT since \d\d:\d\d:\d\d", page_state(driver)["tiles"]["line-3"]["said"]), 40)
        print("line-3 silent %.1f s after SIGKILL: %s" % (time.monotonic() - killed, silent[0]))
        if page_state(driver)["tiles"]["line-2"]["state"] != "alive":
            fail("line-2 is not alive")
        screenshot(driver, os.path.join(args.artifacts, "line-page.png"), 1920, 1080)

        # The database goes: the page says so, and the line's page still ends at once.
        server.stop()
        wait_for("the page to say the ledger is unreachable", lambda: page_state(driver)[
            "ledger"].startswith("THE LEDGER IS UNREACHABLE since "), 10)
        line.send_signal(signal.SIGTERM)
        if line.wait(3) != 0:
            fail("xarveld-line's status on SIGTERM: %d" % line.returncode)
    except AssertionError:
        # What each station and the line said, for whoever reads the failure.
        for station in stations:
            print("".join(line for _, line in station.lines[-5:]), end="")
        print(line.stderr.read1().decode() if line.poll() is not None else "", end="")
        if driver is not None:
            print(json.dumps(page_state(driver))[:2000])
        raise
    finally:
        if driver is not None:
            driver.quit()
        kill_all([line] + [s.process for s in stations] + sims)
        server.stop()
    shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed in %.0f s" % (time.monotonic() - began))
    return 0


if __name__ == "__main__":
    run(main)
