"""Real threads: waiting never freezes the interpreter, and another thread
can end a wait."""

import threading
import time

import pytest

from fake_requests import CANCELED, FakeRequest, tidy_requests, wait_idle  # noqa: F401

URL = "http://127.0.0.1/t"


class Counter(threading.Thread):
    """Counts in Python for as long as it runs: proof the lock is free."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = False

    def run(self):
        while not self.stop:
            self.count += 1


def run_in_thread(fn):
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            result["error"] = exc

    t = threading.Thread(target=target, daemon=True)
    t.start()
    return t, result


@pytest.mark.parametrize("wait", ["await_response", "start_stream", "next_body", "read_body",
                                  "wait_redirect", "wait_manual"])
def test_other_threads_run_while_one_waits(native, wait):
    req = native.PyEngine().request("GET", URL, allow_redirects=False)
    core = FakeRequest.last()
    if wait != "start_stream":
        req.start()
    if wait in ("next_body", "read_body"):
        core.response(when="now")
        req.await_response()
    counter = Counter()
    counter.start()
    core.sleep(300)
    if wait in ("wait_redirect", "wait_manual"):
        core.redirect(302, b"", b"u", b"GET")
    else:
        core.response().body(b"x").complete()
    before = counter.count
    getattr(req, wait)()
    advanced = counter.count - before
    counter.stop = True
    counter.join()
    assert advanced > 0


def test_cancel_from_another_thread_ends_a_blocked_wait(native, fake):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.complete(CANCELED, -3, when="hv_request_cancel")
    waiter, result = run_in_thread(req.await_response)
    time.sleep(0.1)
    req.cancel()
    waiter.join(10)
    assert not waiter.is_alive()
    assert str(result["error"]) == "Canceled (Chromium net error -3)"


def test_cancel_ends_a_blocked_body_read(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.response(when="now")
    req.await_response()
    core.complete(CANCELED, -3, when="hv_request_cancel")
    reader, result = run_in_thread(req.read_body)
    time.sleep(0.1)
    req.cancel()
    reader.join(10)
    assert not reader.is_alive()
    assert str(result["error"]) == "Canceled (Chromium net error -3)"


def test_poll_waiting_for_a_busy_body_stream_does_not_freeze_python(native):
    # One thread blocks in next_body, holding the body stream; a poll must
    # wait for it without holding the interpreter lock, or the upload that
    # makes the server answer could never be sent.
    req = native.PyEngine().request("POST", URL, chunked=True)
    core = FakeRequest.last()
    req.start()
    core.response(when="now")
    req.await_response()
    reader, read = run_in_thread(req.next_body)
    time.sleep(0.1)
    poller, polled = run_in_thread(req.poll_events)
    time.sleep(0.1)
    core.body(b"answer", when="hv_request_upload_write")
    uploader, uploaded = run_in_thread(lambda: req.upload_write(b"question", False))
    for t in (uploader, reader, poller):
        t.join(10)
        assert not t.is_alive(), "deadlocked"
    assert uploaded == {"value": None}
    assert read == {"value": list(b"answer")}
    assert polled == {"value": []}


def test_many_threads_share_one_body_stream(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.response(when="now")
    req.await_response()
    chunks = [bytes([i % 256]) * (i + 1) for i in range(200)]
    got = [[] for _ in range(4)]

    def reader(slot):
        while (chunk := req.next_body()) is not None:
            got[slot].append(bytes(chunk))

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for chunk in chunks:
        core.body(chunk)
    core.complete()
    for t in threads:
        t.join(20)
    assert sorted(c for g in got for c in g) == sorted(chunks)
