"""Driving a request from an asyncio event loop: notifications and polls."""

import asyncio
import gc
import sys
import threading

import pytest

from fake_requests import NETWORK, FakeRequest, tidy_requests, wait_idle  # noqa: F401

URL = "http://127.0.0.1/loop"
HEAD = b"HTTP/1.1 200 OK\r\n\r\n"


class RecordingLoop:
    """Stands in for a loop: records call_soon_threadsafe calls."""

    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()

    def call_soon_threadsafe(self, fn, *args):
        with self.lock:
            self.calls.append((fn, args))


def drive(req, start):
    """Runs an asyncio loop until a terminal event; returns the events and
    how many notifications the loop ran."""
    events, notified = [], []

    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()

        def notify():
            notified.append(1)
            batch = req.poll_events()
            events.extend(batch)
            if batch and batch[-1][0] in ("done", "error") and not done.done():
                done.set_result(None)

        (req.start_async if start else req.attach_async)(loop, notify)
        await asyncio.wait_for(done, 10)
        await asyncio.sleep(0.05)  # nothing further may be announced

    asyncio.run(main())
    return events, len(notified)


def test_whole_exchange_by_notifications_and_polls(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    core.sleep(20).response(200, HEAD).body(b"ab").body(b"").body(b"cd").complete()
    events, notified = drive(req, start=True)
    assert events == [
        ("response", 200, list(HEAD), [], None),
        ("body", 0, [], list(b"ab"), None),
        ("body", 0, [], [], None),
        ("body", 0, [], list(b"cd"), None),
        ("done", 0, [], [], None),
    ]
    assert notified >= 1
    assert req.poll_events() == [] and req.poll_event() is None


def test_failure_before_head_is_one_error_event(native):
    req = native.PyEngine().request("GET", URL)
    FakeRequest.last().sleep(20).complete(NETWORK, -105)
    events, _ = drive(req, start=True)
    assert events == [("error", 0, [], [], "Network (Chromium net error -105)")]
    assert req.poll_events() == []


def test_redirect_then_head_by_polling(native):
    req = native.PyEngine().request("GET", URL, redirect="manual")
    req.start()
    core = FakeRequest.last()
    core.response(200, HEAD, when="now")
    core.redirect(302, b"H", b"http://127.0.0.1/n\xc3\xa9", b"GET", when="now")
    assert req.poll_events() == [
        ("redirect", 302, list(b"H"), list("http://127.0.0.1/n\u00e9".encode()), "GET"),
        ("response", 200, list(HEAD), [], None),
    ]


def test_coalescing_one_notification_per_poll_cycle(native):
    loop = RecordingLoop()
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(loop, "notify-token")
    core.response(when="now")
    for i in range(9):
        core.body(bytes([i]), when="now")
    assert loop.calls == [("notify-token", ())]
    assert len(req.poll_events()) == 10
    core.body(b"z", when="now")
    assert len(loop.calls) == 2  # re-armed by the poll


def test_closed_loop_fails_silently_and_polling_still_works(native):
    loop = asyncio.new_event_loop()
    loop.close()
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(loop, lambda: None)
    core.response(when="now")
    core.body(b"a", when="now")  # the flag was cleared: tried again, silently
    assert [e[0] for e in req.poll_events()] == ["response", "body"]


def test_attach_does_not_schedule_and_flag_blocks_until_poll(native):
    loop = RecordingLoop()
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.response(when="now")
    req.attach_async(loop_=loop, notify=print)
    assert loop.calls == []  # news before attaching is not announced
    core.body(b"x", when="now")
    assert len(loop.calls) == 1
    req.attach_async(loop, print)  # a new notifier shares the pending flag
    core.body(b"y", when="now")
    assert len(loop.calls) == 1
    assert [e[0] for e in req.poll_events()] == ["response", "body", "body"]


def test_detach_before_head_drops_the_future(native):
    loop = RecordingLoop()
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(loop, print)
    req.detach_callback()
    core.response(when="now")
    core.redirect(302, b"", b"", b"", when="now")
    assert loop.calls == []
    assert [e[0] for e in req.poll_events()] == ["redirect"]
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()


def test_detach_after_head_keeps_the_body(native):
    loop = RecordingLoop()
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(loop, print)
    core.response(when="now")
    assert req.poll_event()[0] == "response"
    req.detach_callback()
    core.body(b"abc", when="now")
    core.complete(when="now")
    assert len(loop.calls) == 1
    assert req.read_body() == list(b"abc")


def test_more_than_64_chunks_need_a_second_poll(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(RecordingLoop(), print)
    core.response(when="now")
    for i in range(100):
        core.body(bytes([i]), when="now")
    core.complete(when="now")
    first = req.poll_events()
    assert len(first) == 64
    rest = req.poll_events(1000)
    assert len(rest) == 38 and rest[-1][0] == "done"
    assert [e[3] for e in first[1:] + rest[:-1]] == [[i] for i in range(100)]


@pytest.mark.parametrize("limit, exc_type, message", [
    (-1, OverflowError, None),
    (2 ** 32, OverflowError, "out of range integral type conversion attempted"),
    ("1", TypeError, None),
    (1.0, TypeError, None),
])
def test_poll_limit_errors(native, limit, exc_type, message):
    req = native.PyEngine().request("GET", URL)
    with pytest.raises(exc_type) as exc:
        req.poll_events(limit)
    if message:
        assert str(exc.value) == message
    if exc_type is TypeError:
        assert str(exc.value).startswith("argument 'limit': ")


def test_poll_limit_zero_means_one(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.response(when="now")
    core.body(b"a", when="now")
    assert len(req.poll_events(0)) == 1
    assert len(req.poll_events(None)) == 1


def test_mixed_styles_consume_the_same_sources(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(RecordingLoop(), print)
    core.response(when="now")
    core.body(b"1", when="now")
    core.body(b"2", when="now")
    req.await_response()
    assert req.next_body() == [ord("1")]
    assert req.poll_events() == [("body", 0, [], [ord("2")], None)]


def test_terminal_event_reported_once(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.complete(NETWORK, -105, when="now")
    assert req.poll_event() == ("error", 0, [], [], "Network (Chromium net error -105)")
    assert req.poll_event() is None


def test_notifier_dropped_on_a_core_thread_leaks_nothing(native):
    class Loop:
        def call_soon_threadsafe(self, fn):
            pass

    loop, notify = Loop(), (lambda: None)
    base_loop, base_notify = sys.getrefcount(loop), sys.getrefcount(notify)
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start_async(loop, notify)
    assert sys.getrefcount(loop) == base_loop + 1
    del req  # the Core still holds the shared state, and with it the notifier
    gc.collect()
    assert sys.getrefcount(loop) == base_loop + 1
    core.body(b"x")  # notifies from the Core thread
    core.complete()  # the Core lets go on its own thread: references queued
    wait_idle()
    native.PyEngine.abi_version()  # any entry releases what was queued
    assert sys.getrefcount(loop) == base_loop
    assert sys.getrefcount(notify) == base_notify
