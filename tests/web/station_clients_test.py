#!/usr/bin/env python3
"""The status page's server against slow, hostile and many clients, over plain sockets.

A real xarveld-station runs a tool of the case's own on eight slots: a script that starts
burning and prints a mark every 50 ms, without end, so that /events carries progress all along.
Other clients come from other loopback addresses (any 127.x.y.z is this machine's); the one
whose answers are checked comes from 127.0.0.1.

  station_clients_test.py --station S
Exit status 0 when every check holds, 1 when one fails.
"""
import argparse
import datetime
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from web_support import fail, run

SLOTS = 8
TOOL = """#!/usr/bin/env python3
import sys, time
sys.stdout.write("Burning flash.")
while True:
    sys.stdout.write(".")
    sys.stdout.flush()
    time.sleep(0.05)
"""
# The server's own bounds, which the checks lean on.
ADDRESS_LIMIT = 32
REPLAY_BYTES = 128 * 1024
REQUEST_DEADLINE = 10
TCP_ESTABLISHED = 1


def connect(port, source, receive_buffer=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def request(port, path, host, head="", source="127.0.0.1", timeout=10):
    """One request; the status code and the body, read until the station closes."""
    s = connect(port, source)
    s.settimeout(timeout)
    host_line = "" if host is None else "Host: %s\r\n" % host
    version = "HTTP/1.0" if host is None else "HTTP/1.1"
    s.sendall(("GET %s %s\r\n%s%sConnection: close\r\n\r\n" % (path, version, host_line, head))
              .encode())
    data, deadline = b"", time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass  # no answer in time: status 0
    s.close()
    status = int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/") else 0
    return status, data.partition(b"\r\n\r\n")[2]


def closed_by_station(s, seconds):
    """Whether the station closes s within seconds, seen in the socket's state without reading,
    which would let a stalled stream go on."""
    deadline = time.monotonic() + seconds
    while True:
        state = s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]
        if state != TCP_ESTABLISHED:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)


def check_hosts(port):
    """Only names of this station are answered: a rebinding page's own name gets 421."""
    answered = ["127.0.0.1", "127.0.0.1:%d" % port, "localhost:%d" % port, "Station.Line",
                "other.line:%d" % port, None]
    refused = ["rebound.example", "rebound.example:%d" % port, "127.0.0.1:%d" % (port + 1),
               "127.0.0.2:%d" % port, "station.line.example", "[::1]:%d" % port]
    for host in answered:
        status, _ = request(port, "/status", host)
        if status != 200:
            fail("Host %r: %d" % (host, status))
    for host in refused:
        status, body = request(port, "/events", host)
        if status != 421 or body.count(b"\n") != 1:
            fail("Host %r: %d %r" % (host, status, body[:80]))


def wait_until(moment):
    time.sleep(max(0, moment - time.monotonic()))


def resident(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return line.split(":")[1].strip()
    return "?"


def dechunked(response):
    """The body of a chunked response, as far as it came whole."""
    body, at = b"", response.index(b"\r\n\r\n") + 4
    while True:
        end = response.find(b"\r\n", at)
        if end < 0:
            return body
        size = int(response[at:end], 16)
        if size == 0 or end + 2 + size > len(response):
            return body
        body += response[end + 2:end + 2 + size]
        at = end + 4 + size


def check_snapshots_not_stacked(s):
    """A stream that fell behind gets one snapshot after the events it missed, not one for each
    second it did not read: the events of seconds follow one another with no snapshot between."""
    data = b""
    s.settimeout(0.5)
    deadline = time.monotonic() + 1.5
    try:
        while time.monotonic() < deadline:
            data += s.recv(65536)
    except socket.timeout:
        pass
    run, longest, snapshots = [], 0.0, 0
    for line in dechunked(data).split(b"\n"):
        if line.startswith(b'data: {"type":"snapshot"'):
            snapshots += 1
            run = []
        elif line.startswith(b"data: "):
            event = json.loads(line[6:])
            run.append(datetime.datetime.fromisoformat(event["time"].replace("Z", "+00:00")))
            longest = max(longest, (run[-1] - run[0]).total_seconds())
    print("a stream read after 8 s: %d snapshots, events over %.1f s without one" % (
        snapshots, longest))
    # What the socket took before it filled may hold a snapshot a second; after that, the events
    # run with none between them until the one waiting. Two snapshots (the first and the one
    # waiting) cannot be stacked, however few events a busy machine made meanwhile.
    if snapshots == 0 or (snapshots > 2 and longest < 3):
        fail("snapshots stacked in a stream that fell behind: %d, at most %.1f s apart" % (
            snapshots, longest))


def check_replay(port, host):
    """A client coming back with Last-Event-ID: 0 gets what the station keeps, bounded in bytes."""
    s = connect(port, "127.0.0.1")
    s.sendall(("GET /events HTTP/1.1\r\nHost: %s\r\nLast-Event-ID: 0\r\n\r\n" % host).encode())
    s.settimeout(10)
    data = b""
    while b'"type":"snapshot"' not in data:
        chunk = s.recv(65536)
        if not chunk:
            fail("the stream ended before its snapshot")
        data += chunk
    s.close()
    replayed = data[:data.index(b'"type":"snapshot"')]
    events = replayed.count(b"\nid: ") + replayed.startswith(b"id: ")
    if events == 0 or len(replayed) > REPLAY_BYTES + 4096:
        fail("Last-Event-ID: 0 replayed %d events in %d bytes" % (events, len(replayed)))
    return events, len(replayed)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--station", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="xarveld-clients-")
    tool = os.path.join(work, "tool")
    with open(tool, "w") as f:
        f.write(TOOL)
    os.chmod(tool, 0o755)
    with open(os.path.join(work, "image.bin"), "wb") as f:
        f.write(b"\xff" * (4 << 20))
    slots = []
    for i in range(SLOTS):
        open(os.path.join(work, "port%d" % i), "w").close()
        # Long names make long events, as a line's own do.
        slots.append("slot-%d-%s=port%d" % (i, "x" * 24, i))
    station = subprocess.Popen(
        [args.station, "--tool", tool, "--timeout", "300", "--http", "127.0.0.1:0",
         "--http-name", "station.line,Other.Line"] + slots + ["--", "-p", "image.bin"],
        cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    opened = []
    try:
        first = station.stdout.readline().decode()
        if not first.startswith("status page: http://127.0.0.1:"):
            fail("the station's first line: %r" % first)
        port = int(first.rsplit(":", 1)[1].strip().rstrip("/"))
        host = "127.0.0.1:%d" % port
        check_hosts(port)

        before = resident(station.pid)
        # A stream that reads nothing for 8 s, then all there is.
        slow = connect(port, "127.0.3.1", receive_buffer=4096)
        slow.sendall(("GET /events HTTP/1.1\r\nHost: %s\r\n\r\n" % host).encode())
        opened.append(slow)
        # Streams that never read, from eight addresses; and connections that send a request a
        # byte at a time, more from each of eight others than one address may hold.
        stalled = []
        for i in range(248):
            s = connect(port, "127.0.1.%d" % (1 + i % 8), receive_buffer=4096)
            s.sendall(("GET /events HTTP/1.1\r\nHost: %s\r\n\r\n" % host).encode())
            stalled.append(s)
        opened += stalled
        trickling = []
        for i in range(8 * (ADDRESS_LIMIT + 8)):
            s = connect(port, "127.0.2.%d" % (1 + i % 8))
            s.sendall(b"G")
            trickling.append(s)
        opened += trickling
        started = time.monotonic()
        stop = threading.Event()

        def trickle():
            message = b"ET /status HTTP/1.1\r\nHost: %s\r\n" % host.encode()
            for byte in message:
                for s in trickling:
                    try:
                        s.send(bytes([byte]))
                    except OSError:
                        pass
                if stop.wait(1):
                    return
        trickler = threading.Thread(target=trickle, daemon=True)
        trickler.start()
        time.sleep(1)
        # Past its share, an address's connections are closed at once.
        refused = sum(closed_by_station(s, 0.01) for s in trickling)
        if refused < 8 * 8:
            fail("%d of %d connections from 8 addresses refused" % (refused, len(trickling)))
        for _ in range(3):
            begun = time.monotonic()
            status, body = request(port, "/status", host, timeout=5)
            if status != 200 or b'"type":"snapshot"' not in body:
                fail("GET /status while attacked: %d" % status)
            print("GET /status while attacked: %.3f s" % (time.monotonic() - begun))
            time.sleep(1)
        wait_until(started + 8)
        during = resident(station.pid)
        check_snapshots_not_stacked(slow)
        # No trickling request comes whole within the deadline: each is closed by it.
        wait_until(started + REQUEST_DEADLINE + 2)
        still = [s for s in trickling if not closed_by_station(s, 0.01)]
        if still:
            fail("%d trickling connections open after %d s" % (len(still), REQUEST_DEADLINE + 2))
        stop.set()
        # A stream that fell behind is closed then, not when it reads again or times out (30 s).
        wait_until(started + 20)
        still = [s for s in stalled if not closed_by_station(s, 0.2)]
        if still:
            fail("%d of %d streams that never read still open after 20 s" % (
                len(still), len(stalled)))
        for s in opened:
            s.close()
        time.sleep(2)
        print("the station's memory: %s before the clients, %s with them, %s once they are gone"
              % (before, during, resident(station.pid)))
        print("replay: %d events, %d bytes" % check_replay(port, host))
    finally:
        for s in opened:
            s.close()
        station.kill()
        station.wait()
    shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    run(main)
