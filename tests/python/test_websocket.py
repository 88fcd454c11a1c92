"""PyWebSocket: creation, blocking use and event-loop driving."""

import asyncio
import threading
import time

import pytest

import fake_websockets as fw
from fake_websockets import FakeWebSocket

URL = "ws://127.0.0.1/ws"


@pytest.fixture(autouse=True)
def clean_records():
    fw.reset()
    yield
    fw.wait_idle()


def connected(engine, **kwargs):
    ws = engine.websocket(URL, **kwargs)
    ws.connect()
    return ws, FakeWebSocket.last()


def test_defaults_reach_the_core(engine, fake):
    engine.websocket(URL)
    rec = fw.last_record()
    assert rec["abi"] == 8 and rec["callbacks_abi"] == 8 and not rec["user_data_null"]
    assert rec["url"] == URL.encode()
    assert (rec["origin"], rec["protocols_null"], rec["headers_null"], rec["timeout_ms"]) == (
        None, True, True, 0)
    assert fake.call_count("hv_websocket_start") == 0  # nothing until connect


def test_options_reach_the_core(engine):
    engine.websocket(URL, "http://o", [("A", "1"), ("A", "2")], 1.5, ["chat", "v2"])
    rec = fw.last_record()
    assert rec["origin"] == b"http://o"
    assert rec["headers"] == [(b"A", b"1"), (b"A", b"2")]
    assert rec["protocols"] == [b"chat", b"v2"] and rec["timeout_ms"] == 1500
    engine.websocket(URL, protocols="ab")  # a str is a sequence of strings
    assert fw.last_record()["protocols"] == [b"a", b"b"]


@pytest.mark.parametrize("kwargs, exc_type, message", [
    ({"origin": None}, TypeError, "argument 'origin': 'NoneType' object cannot be converted to 'PyString'"),
    ({"protocols": 3}, TypeError, "argument 'protocols': 'int' object cannot be converted to 'Sequence'"),
    ({"protocols": [1]}, TypeError, "argument 'protocols': 'int' object cannot be converted to 'PyString'"),
    ({"timeout": -1}, RuntimeError, "timeout must be a finite non-negative number"),
    ({"color": 1}, TypeError, "PyEngine.websocket() got an unexpected keyword argument 'color'"),
])
def test_argument_errors(engine, fake, kwargs, exc_type, message):
    with pytest.raises(exc_type) as exc:
        engine.websocket(URL, **kwargs)
    assert str(exc.value) == message
    assert fake.call_count("hv_websocket_create") == 0


def test_core_refusal_on_create(engine, fake):
    fake.push_result("hv_websocket_create", 1)
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        engine.websocket(URL)


def test_event_tuples(engine):
    ws, core = connected(engine)
    core.open(b"", b"permessage-deflate").message(b"hi").message(b"\x00\xff", type_=2)
    core.message(b"x", type_=9).closing().closed(1000, b"bye \xff")
    assert ws.recv() == ("open", [], None, None)
    assert ws.recv() == ("text", [104, 105], None, None)
    assert ws.recv() == ("binary", [0, 255], None, None)
    assert ws.recv() == ("binary", [120], None, None)
    assert ws.recv() == ("closing", [], None, None)
    assert ws.recv() == ("closed", [], 1000, "bye \ufffd")
    assert ws.recv() is None and ws.recv() is None
    assert ws.is_finished()


def test_failure_event(engine):
    ws, core = connected(engine)
    core.open(b"chat").failure(8, -105, 0, b"ignored")
    assert ws.recv() == ("open", list(b"chat"), None, None)
    assert ws.recv() == ("error", [], None, "Network (Chromium net error -105, response 0)")
    assert ws.recv() is None


def test_not_connected(engine):
    ws = engine.websocket(URL)
    for call in (ws.recv, ws.poll_event, ws.poll_events):
        with pytest.raises(RuntimeError, match="^WebSocket is not connected$"):
            call()


def test_second_connect_keeps_the_first_connection(engine, fake):
    ws, core = connected(engine)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.connect()
    assert fake.call_count("hv_websocket_start") == 1
    core.message(b"still here")
    assert ws.recv()[0] == "text"


def test_sends_and_close_reach_the_core(engine):
    ws, core = connected(engine)
    ws.send_text("h\u00e9")
    ws.send_text("")
    ws.send_bytes([1, 2, 255])
    ws.send_bytes(b"")
    ws.close(1000, "")
    ws.close(code=4000, reason="done")
    assert fw.sends() == [(1, "h\u00e9".encode()), (1, None), (2, b"\x01\x02\xff"), (2, None)]
    assert [(code, reason or b"") for code, reason in fw.closes()] == [(1000, b""), (4000, b"done")]


@pytest.mark.parametrize("args, exc_type, message", [
    ((65536, ""), OverflowError, "out of range integral type conversion attempted"),
    ((-1, ""), OverflowError, "out of range integral type conversion attempted"),
    ((1000,), TypeError, "PyWebSocket.close() missing 1 required positional argument: 'reason'"),
    ((1000.0, ""), TypeError, None),
    ((1000, None), TypeError, "argument 'reason': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_close_argument_errors(engine, fake, args, exc_type, message):
    ws, _ = connected(engine)
    with pytest.raises(exc_type) as exc:
        ws.close(*args)
    if message:
        assert str(exc.value) == message
    else:
        assert str(exc.value).startswith("argument 'code': ")
    assert fake.call_count("hv_websocket_close") == 0


def test_send_argument_errors(engine, fake):
    ws, _ = connected(engine)
    with pytest.raises(OverflowError):
        ws.send_bytes([256])
    with pytest.raises(TypeError, match="^argument 'text': 'bytes' object cannot be converted"):
        ws.send_text(b"x")
    assert fake.call_count("hv_websocket_send") == 0


def test_core_refusals_still_detach(engine, fake):
    loop = RecordingLoop()
    ws = engine.websocket(URL)
    ws.start_async(loop, print)
    core = FakeWebSocket.last()
    fake.push_result("hv_websocket_close", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.close(1000, "")
    fake.push_result("hv_websocket_cancel", 16)
    with pytest.raises(RuntimeError, match="^native error 16$"):
        ws.cancel()
    core.message(b"x", now=True)
    assert loop.calls == []  # detached although the Core refused


def test_cancel_from_another_thread_ends_a_blocked_recv(engine):
    ws, core = connected(engine)
    result = {}
    t = threading.Thread(target=lambda: result.setdefault("event", ws.recv()))
    t.start()
    time.sleep(0.1)
    ws.cancel()
    core.failure(7, -3, 0)  # the Core's answer to the cancel
    t.join(10)
    assert not t.is_alive()
    assert result["event"] == ("error", [], None, "Canceled (Chromium net error -3, response 0)")


def test_poll_waits_for_a_blocked_recv_without_freezing_python(engine):
    ws, core = connected(engine)
    got = {}
    reader = threading.Thread(target=lambda: got.setdefault("recv", ws.recv()))
    reader.start()
    time.sleep(0.1)
    poller = threading.Thread(target=lambda: got.setdefault("poll", ws.poll_events()))
    poller.start()
    time.sleep(0.1)
    counted = 0
    deadline = time.monotonic() + 0.2
    while time.monotonic() < deadline:
        counted += 1  # this thread runs although the poller waits
    core.message(b"m")
    reader.join(10)
    poller.join(10)
    assert not reader.is_alive() and not poller.is_alive()
    assert counted > 0
    assert got == {"recv": ("text", [109], None, None), "poll": []}


class RecordingLoop:
    def __init__(self):
        self.calls = []

    def call_soon_threadsafe(self, fn):
        self.calls.append(fn)


def test_one_notification_per_burst_and_limits(engine):
    loop = RecordingLoop()
    ws = engine.websocket(URL)
    ws.start_async(loop, "token")
    core = FakeWebSocket.last()
    for i in range(10):
        core.message(bytes([i]), now=True)
    assert loop.calls == ["token"]
    assert len(ws.poll_events(0)) == 1
    assert len(ws.poll_events(4)) == 4
    assert len(ws.poll_events()) == 5
    assert ws.poll_events() == [] and ws.poll_event() is None
    core.message(b"again", now=True)
    assert len(loop.calls) == 2
    with pytest.raises(OverflowError):
        ws.poll_events(2 ** 32)


def test_close_detaches_the_notifier(engine):
    loop = RecordingLoop()
    ws = engine.websocket(URL)
    ws.start_async(loop_=loop, notify=print)
    core = FakeWebSocket.last()
    core.open(now=True)
    assert ws.poll_event() == ("open", [], None, None)
    ws.close(1000, "")
    core.closing(now=True).closed(1000, b"", now=True)
    assert len(loop.calls) == 1  # later events are polled, not announced
    assert [e[0] for e in ws.poll_events()] == ["closing", "closed"]


def test_terminal_event_ends_the_batch_and_detaches(engine):
    loop = RecordingLoop()
    ws = engine.websocket(URL)
    ws.start_async(loop, print)
    core = FakeWebSocket.last()
    core.message(b"a", now=True).closed(1001, b"away", now=True)
    assert ws.poll_events() == [("text", [97], None, None), ("closed", [], 1001, "away")]
    assert ws.poll_events() == []


def test_start_async_twice(engine, fake):
    loop = RecordingLoop()
    ws = engine.websocket(URL)
    ws.start_async(loop, print)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.start_async(RecordingLoop(), print)
    FakeWebSocket.last().message(b"x", now=True)
    assert ws.poll_event() == ("text", [120], None, None)


def test_asyncio_drives_a_websocket(engine):
    ws = engine.websocket(URL)
    events = []

    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()

        def notify():
            for event in ws.poll_events():
                events.append(event)
                if event[0] in ("closed", "error") and not done.done():
                    done.set_result(None)

        ws.start_async(loop, notify)
        FakeWebSocket.last().open(b"chat").message(b"hello").closed(1000, b"")
        await asyncio.wait_for(done, 10)

    asyncio.run(main())
    assert [e[0] for e in events] == ["open", "text", "closed"]
