"""What the browser and HTTP cases under tests/web share: processes, polling, the browser.

Each case imports it from its own directory, which python puts first on sys.path.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

SKIP = 77


def fail(message):
    raise AssertionError(message)


def wait_for(what, condition, seconds, poll=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(poll)
    fail("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sims(sim, work, names, refused, options=()):
    """A simulator serving forever for each name, under work/sims/<name>; the refused one will
    not be programmed. Returns the processes and each name's port once all are ready; none is
    left running when one is not."""
    sims, ports = [], {}
    try:
        for name in names:
            directory = os.path.join(work, "sims", name)
            os.makedirs(directory)
            refuse = ["--refuse-flash"] if name == refused else []
            out = open(os.path.join(directory, "out"), "w")
            sims.append(subprocess.Popen(
                [sim, "--dir", directory] + list(options) + ["--serve-forever"] + refuse,
                stdout=out, stderr=subprocess.DEVNULL))
            ports[name] = os.path.join(directory, "COM1")
        for name in names:
            wait_for("simulator " + name, lambda n=name: open(
                os.path.join(work, "sims", n, "out")).read().endswith(" ready\n"), 10)
    except BaseException:
        kill_all(sims)
        raise
    return sims, ports


def page_url(process, label, who="the station"):
    """The address a server prints first, as "<label>: http://127.0.0.1:<port>/"."""
    first = process.stdout.readline().decode()
    if not first.startswith(label + ": http://127.0.0.1:"):
        fail("%s's first line: %r" % (who, first))
    return first.split(": ", 1)[1].strip()


def records(work, count):
    """The station's record once it holds count lines, else None."""
    path = os.path.join(work, "station-record.jsonl")
    if not os.path.exists(path):
        return None
    lines = [json.loads(line) for line in open(path)]
    return lines if len(lines) == count else None


def interrupt(station):
    """SIGINT ends a station as an operator's Ctrl-C does, with 130."""
    station.send_signal(signal.SIGINT)
    if station.wait(15) != 130:
        fail("the station's status: %d" % station.returncode)


def kill_all(processes):
    for process in processes:
        if process.poll() is None:
            process.kill()
            process.wait()


def browser_missing():
    """Why the browser cases cannot run here, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed (scripts/install-deps installs it)"
    if not shutil.which("chromium") or not shutil.which("chromedriver"):
        return "chromium and chromium-driver are not installed (scripts/install-deps)"
    return None


def browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1920,1080",
                 "--user-data-dir=" + profile]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def screenshot(driver, path, width, height, mobile=False):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
    time.sleep(0.3)  # the layout settles before the shot
    driver.save_screenshot(path)
    print("screenshot at %dx%d: %s" % (width, height, path))


def check_read_only(url, methods, paths):
    """The headers that keep data from becoming markup; every other method is refused."""
    with urllib.request.urlopen(url) as response:
        policy = response.headers["Content-Security-Policy"] or ""
        if "default-src 'none'" not in policy or "unsafe-inline" in policy:
            fail("Content-Security-Policy: " + policy)
        if response.headers["X-Content-Type-Options"] != "nosniff":
            fail("no X-Content-Type-Options: nosniff")
    for method in methods:
        for path in paths:
            try:
                urllib.request.urlopen(urllib.request.Request(url + path, data=b"x", method=method))
                fail(method + " /" + path + " was taken")
            except urllib.error.HTTPError as error:
                if error.code != 405 or error.headers["Allow"] != "GET, HEAD":
                    fail(method + " /" + path + ": " + str(error.code))


def run(main):
    """Exit with main's status, 1 with the message when a check fails."""
    try:
        sys.exit(main())
    except AssertionError as error:
        print("FAILED:", error)
        sys.exit(1)
