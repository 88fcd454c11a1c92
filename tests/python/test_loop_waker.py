"""LoopWaker: one descriptor per loop, news queued by Core threads without
the interpreter lock, and registrations that hold their objects only as
long as needed."""

import os
import select
import sys
import threading

import pytest

import fake_websockets as fw
from fake_requests import FakeRequest, tidy_requests, wait_idle  # noqa: F401
from fake_websockets import FakeWebSocket

URL = "http://127.0.0.1/waker"
WS_URL = "ws://127.0.0.1/ws"
HEAD = b"HTTP/1.1 200 OK\r\n\r\n"


@pytest.fixture
def waker(native):
    with native.LoopWaker() as waker:
        yield waker


def readable(waker):
    return bool(select.select([waker.fileno()], [], [], 0)[0])


def wakes(waker):
    """How many times the descriptor was signalled since it was last reset;
    reading resets it."""
    try:
        return int.from_bytes(os.read(waker.fileno(), 8), sys.byteorder)
    except BlockingIOError:
        return 0


def started(engine, waker):
    req = engine.request("GET", URL)
    req.start_waker(waker)
    return req, FakeRequest.last()


def test_a_burst_of_news_costs_one_wake(engine, waker):
    pairs = [started(engine, waker) for _ in range(50)]
    assert not readable(waker) and waker.drain() == []
    for _, core in pairs:
        core.response(200, HEAD, when="now")
    for _, core in reversed(pairs):
        core.body(b"more", when="now")  # queued already: no new entry, no new wake
    assert wakes(waker) == 1
    assert waker.drain() == [req for req, _ in pairs]  # in order of first news
    assert waker.drain() == [] and not readable(waker)

    pairs[7][1].body(b"again", when="now")
    pairs[3][1].body(b"again", when="now")
    assert readable(waker)
    assert waker.drain() == [pairs[7][0], pairs[3][0]]
    assert not readable(waker)


def test_no_lost_wake_up_with_news_from_many_threads(engine, waker):
    threads_n, per_thread, chunks = 8, 25, 20
    pairs = [started(engine, waker) for _ in range(threads_n * per_thread)]

    def deliver(group, when):
        for _, core in group:
            core.response(200, HEAD, when=when)
            for i in range(chunks):
                core.body(bytes([i]) * 10, when=when)
            core.complete(when=when)

    # News keeps coming while the loop drains: half of it from threads of
    # their own (the interpreter lock is released while they deliver), half
    # from the stand-in's thread, which never takes it.
    threads = [threading.Thread(target=deliver, args=(pairs[i::threads_n], "now" if i % 2 else "post"))
               for i in range(threads_n)]
    for t in threads:
        t.start()
    bodies = {id(req): bytearray() for req, _ in pairs}
    done = set()
    while len(done) < len(pairs):
        assert select.select([waker.fileno()], [], [], 20)[0], "a wake-up was lost"
        for req in waker.drain():
            while True:
                events = req.poll_events_bytes()
                for kind, _status, _headers, data, _message in events:
                    if kind == "body":
                        bodies[id(req)] += data
                    elif kind == "done":
                        assert id(req) not in done
                        done.add(id(req))
                if len(events) < 64:
                    break
    for t in threads:
        t.join()
    wait_idle()  # the stand-in's thread may still hold a callback it ran
    expected = b"".join(bytes([i]) * 10 for i in range(chunks))
    assert all(body == expected for body in bodies.values())
    assert not any(waker.discard(req) for req, _ in pairs)  # every registration ended


def test_registration_lasts_until_the_terminal_event_is_polled(engine, waker):
    req = engine.request("GET", URL)
    base = sys.getrefcount(req)
    req.start_waker(waker)
    assert sys.getrefcount(req) == base + 1  # the waker's reference
    core = FakeRequest.last()
    core.response(200, HEAD, when="now").body(b"ab", when="now")
    assert waker.drain() == [req]
    assert req.poll_events_bytes() == [("response", 200, HEAD, b"", None),
                                       ("body", 0, b"", b"ab", None)]
    assert sys.getrefcount(req) == base + 1
    core.complete(when="now")
    assert waker.drain() == [req]
    assert req.poll_events_bytes() == [("done", 0, b"", b"", None)]
    assert sys.getrefcount(req) == base
    assert waker.drain() == [] and waker.discard(req) is False


@pytest.mark.parametrize("end", ["discard", "detach_callback", "cancel"])
def test_ending_a_registration_drops_news_and_reference(engine, waker, end):
    req = engine.request("GET", URL)
    base = sys.getrefcount(req)
    req.start_waker(waker)
    core = FakeRequest.last()
    core.response(200, HEAD, when="now")  # queued news, then the end
    if end == "discard":
        assert waker.discard(req) is True
    else:
        getattr(req, end)()
    assert sys.getrefcount(req) == base
    assert waker.drain() == []  # the queued entry is skipped
    core.body(b"late", when="now")
    assert wakes(waker) == 0 and waker.drain() == []
    if end == "discard":  # the events themselves are still there
        assert [e[0] for e in req.poll_events_bytes()] == ["response", "body"]


def test_refused_start_ends_the_registration(engine, waker, fake):
    req = engine.request("GET", URL)
    ws = engine.websocket(WS_URL)
    base = sys.getrefcount(req), sys.getrefcount(ws)
    fake.push_result("hv_request_start", 5)
    fake.push_result("hv_websocket_start", 5)
    for obj in (req, ws):
        with pytest.raises(RuntimeError):
            obj.start_waker(waker)
    del obj
    assert (sys.getrefcount(req), sys.getrefcount(ws)) == base


def test_close_with_pending_news_and_after(native, engine, fake):
    waker = native.LoopWaker()
    req, core = started(engine, waker)
    base = sys.getrefcount(req) - 1
    core.response(200, HEAD, when="now")
    waker.close()
    waker.close()
    assert sys.getrefcount(req) == base
    assert waker.drain() == []
    core.body(b"x", when="now").complete(when="now")  # the Core carries on
    with pytest.raises(RuntimeError, match="^LoopWaker is closed$"):
        waker.fileno()
    other = engine.request("GET", URL)
    with pytest.raises(RuntimeError, match="^LoopWaker is closed$"):
        other.start_waker(waker)
    assert fake.call_count("hv_request_start") == 1
    assert [e[0] for e in req.poll_events_bytes()] == ["response", "body", "done"]


def test_dropping_the_waker_releases_its_objects(native, engine):
    waker = native.LoopWaker()
    req, core = started(engine, waker)
    base = sys.getrefcount(req) - 1
    core.response(200, HEAD, when="now")
    del waker
    assert sys.getrefcount(req) == base
    core.complete(when="now")  # the callback outlives the waker harmlessly
    assert [e[0] for e in req.poll_events_bytes()] == ["response", "done"]


def test_websocket_registration_survives_close_until_closed(engine, waker):
    fw.reset()
    ws = engine.websocket(WS_URL)
    base = sys.getrefcount(ws)
    ws.start_waker(waker)
    core = FakeWebSocket.last().open(now=True).message(b"a", 2, now=True)
    assert waker.drain() == [ws]
    assert ws.poll_events_bytes() == [("open", b"", None, None), ("binary", b"a", None, None)]
    ws.close(1000, "")  # the closing handshake is still announced
    core.closing(now=True).closed(1000, b"bye", now=True)
    assert waker.drain() == [ws]
    assert sys.getrefcount(ws) == base + 1
    assert ws.poll_events_bytes() == [("closing", b"", None, None), ("closed", b"", 1000, "bye")]
    assert sys.getrefcount(ws) == base
    assert fw.closes() == [(1000, b"")]


def test_websocket_detach_ends_the_registration(engine, waker):
    ws = engine.websocket(WS_URL)
    base = sys.getrefcount(ws)
    ws.start_waker(waker)
    ws.detach_callback()
    assert sys.getrefcount(ws) == base
    FakeWebSocket.last().open(now=True)
    assert wakes(waker) == 0


def test_argument_errors(native, engine):
    with pytest.raises(TypeError) as exc:
        engine.request("GET", URL).start_waker(None)
    assert str(exc.value) == "argument 'waker': 'NoneType' object cannot be converted to 'LoopWaker'"
    with pytest.raises(TypeError) as exc:
        native.LoopWaker(1)
    assert str(exc.value) == "LoopWaker.__new__() takes 0 positional arguments but 1 was given"
    assert "LoopWaker" not in native.__all__


def test_forked_child_gets_a_descriptor_of_its_own(engine, waker):
    _, core = started(engine, waker)
    core.response(200, HEAD, when="now")
    fd = waker.fileno()
    pid = os.fork()
    if pid == 0:  # the child touches nothing but the descriptor
        try:
            count = int.from_bytes(os.read(fd, 8), sys.byteorder)
        except BaseException:
            count = -1
        os._exit(0 if count == 1 else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert wakes(waker) == 1  # the parent's wake-up is still its own
