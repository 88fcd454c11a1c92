"""A bounded soak: thousands of requests and hundreds of WebSocket sessions
and engines must leave descriptors, threads and memory where they were.

Counts are fixed so the run stays short; STRANDEL_SOAK_SCALE scales them
(0 skips the test). Under a sanitizer (STRANDEL_SANITIZED) it is skipped: its
allocator keeps freed memory in quarantine, so the memory bound means nothing
there, and the run would take several times as long."""

import gc
import os
import resource

import pytest

from ws_client import events_until_end, open_websocket

SCALE = float(os.environ.get("STRANDEL_SOAK_SCALE", "1"))
pytestmark = pytest.mark.skipif(SCALE <= 0 or bool(os.environ.get("STRANDEL_SANITIZED")),
                                reason="soak switched off")


def counts():
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * resource.getpagesize()
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), rss


def settled(baseline, slack_fds=8, slack_threads=2):
    """Counts once engine threads that are ending have ended (they stop on their
    own after the last use goes, so give them a moment, bounded)."""
    import time

    deadline = time.monotonic() + 20
    while True:
        gc.collect()
        now = counts()
        if (now[0] <= baseline[0] + slack_fds and now[1] <= baseline[1] + slack_threads) \
                or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


def get(engine, url):
    request = engine.request("GET", url)
    response = request.start_stream()
    body = request.read_body()
    assert response.status_code == 200
    return len(body)


def ws_round_trip(engine, url):
    ws, _ = open_websocket(engine, url)
    ws.send_text("soak")
    kind, data, _, _ = ws.recv()
    assert (kind, bytes(data)) == ("text", b"soak")
    ws.close(1000, "")
    assert events_until_end(ws)[-1][0] == "closed"


def soak_round(native, nginx, ws_server, requests, sessions, engines):
    url = nginx.url("http1", "/small.bin")
    engine = native.PyEngine()
    for _ in range(requests):
        assert get(engine, url) == 1024
    for _ in range(sessions):
        ws_round_trip(engine, ws_server.url("/echo"))
    for i in range(engines):
        other = native.PyEngine()
        if i % 10 == 0:  # some engines are used, most only made and dropped
            assert get(other, url) == 1024
        del other


def test_requests_websockets_and_engines_leave_nothing_behind(native, nginx, ws_server):
    def n(count):
        return max(1, int(count * SCALE))

    # A first round warms caches, pools and the allocator.
    soak_round(native, nginx, ws_server, n(300), n(30), n(30))
    baseline = settled(counts())
    soak_round(native, nginx, ws_server, n(5000), n(500), n(500))
    fds, threads, rss = settled(baseline)
    assert fds <= baseline[0] + 8, (baseline, fds)
    assert threads <= baseline[1] + 2, (baseline, threads)
    assert rss - baseline[2] < 64 * 1024 * 1024, (baseline[2], rss)
