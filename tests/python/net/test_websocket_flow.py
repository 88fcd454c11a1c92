"""Consumers of a WebSocket: one that stops reading while the server floods,
a blocked recv ended from another thread, an asyncio loop, and owners that
let go early."""

import asyncio
import gc
import threading
import time

import pytest

from ws_client import TERMINAL, events_until_end, open_websocket


@pytest.mark.parametrize("size", [16, 64 * 1024], ids=["many-small", "large"])
def test_flood_without_reading_ends_in_buffer_limit(engine, ws_server, size):
    # Small messages hit the 1024-event limit, large ones the 4 MiB one.
    path = f"/flood?size={size}&n={size}"
    ws, _ = open_websocket(engine, ws_server.url(path))
    # Nothing is read until the queue gave up: the Core keeps delivering.
    deadline = time.monotonic() + 20
    while not ws.is_finished() and time.monotonic() < deadline:
        time.sleep(0.01)
    events = events_until_end(ws)
    assert events[-1][0] == "error"
    assert events[-1][3] == "BufferLimit (Chromium net error 0, response 0)"
    assert len(events) == 1  # what was queued was dropped with the overflow
    assert ws.recv() is None
    # The connection stays up until the owner ends it.
    ws.cancel()
    assert ws_server.wait_closed(path) is None  # cut off, no close frame


def test_sender_is_held_while_the_peer_reads_nothing(engine, ws_peer, ws_servers_module):
    ws_servers_module.DEAF_RELEASE.clear()
    ws, _ = open_websocket(engine, f"ws://127.0.0.1:{ws_peer.port}/deaf")
    outcome = []

    def send():
        try:
            for _ in range(64):
                ws.send_bytes(bytes(1 << 20))
            outcome.append("all sent")
        except RuntimeError as error:
            outcome.append(str(error))

    sender = threading.Thread(target=send)
    sender.start()
    try:
        sender.join(0.3)
        assert sender.is_alive()  # 64 MiB fit neither the Core's bound nor the sockets
        ws.cancel()
        sender.join(10)
        assert outcome == ["Canceled"]
    finally:
        ws_servers_module.DEAF_RELEASE.set()


def test_cancel_from_another_thread_ends_a_blocked_recv(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/echo?blocked"))
    results = []
    reader = threading.Thread(target=lambda: results.append(ws.recv()))
    reader.start()
    reader.join(0.2)
    assert reader.is_alive()  # nothing to read: it waits
    ws.cancel()
    reader.join(10)
    assert not reader.is_alive()
    assert results == [("error", [], None, "Canceled (Chromium net error -3, response 0)")]
    assert ws.recv() is None
    ws.cancel()  # after the end: nothing happens


def test_close_from_another_thread_while_reading(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/echo?threaded-close"))
    seen = []

    def read():
        while (event := ws.recv()) is not None:
            seen.append(event[0])

    reader = threading.Thread(target=read)
    reader.start()
    for i in range(50):
        ws.send_text(str(i))
    ws.close(1000, "")
    reader.join(10)
    assert not reader.is_alive()
    # Echoes that were under way may still arrive while closing.
    assert seen.count("closing") == 1 and seen[-1] == "closed"
    assert set(seen[seen.index("closing") + 1:-1]) <= {"text"}


def test_asyncio_consumer(engine, ws_server):
    async def main():
        loop = asyncio.get_running_loop()
        woken = asyncio.Event()
        ws = engine.websocket(ws_server.url("/echo?async"))
        ws.start_async(loop, woken.set)
        events = []
        sent = False
        while not events or events[-1][0] not in TERMINAL:
            await asyncio.wait_for(woken.wait(), 10)
            woken.clear()
            while True:  # drain: a notification covers everything queued
                batch = ws.poll_events(limit=16)
                events.extend((kind, bytes(data), code, text) for kind, data, code, text in batch)
                if len(batch) < 16:
                    break
            if not sent and events and events[0][0] == "open":
                for i in range(100):
                    ws.send_text(f"async {i}")
                sent = True
            texts = [e for e in events if e[0] == "text"]
            if len(texts) == 100 and not any(e[0] == "closing" for e in events):
                ws.close(1000, "loop done")
                # Events after close are not announced; poll them.
                while not events or events[-1][0] not in TERMINAL:
                    events.extend((k, bytes(d), c, t) for k, d, c, t in ws.poll_events())
                    await asyncio.sleep(0.01)
        return events

    events = asyncio.run(main())
    assert events[0][0] == "open"
    assert [e[1] for e in events if e[0] == "text"] == [f"async {i}".encode() for i in range(100)]
    assert events[-1] == ("closed", b"", 1000, "loop done")


def test_dropping_a_running_websocket_cancels_it(engine, ws_server):
    path = "/echo?dropped"
    ws, _ = open_websocket(engine, ws_server.url(path))
    ws.send_text("in flight")
    del ws
    gc.collect()
    # The Core ends the connection by itself: no close frame is sent.
    assert ws_server.wait_closed(path) is None


def test_engine_dropped_while_websockets_run(native, ws_server):
    engine = native.PyEngine()
    sockets = [open_websocket(engine, ws_server.url(f"/echo?orphan{i}"))[0] for i in range(5)]
    del engine
    gc.collect()
    for i, ws in enumerate(sockets):
        ws.send_text(f"orphan {i}")
        assert ws.recv()[:2] == ("text", list(f"orphan {i}".encode()))
        ws.close(1000, "")
        assert events_until_end(ws)[-1][0] == "closed"


def test_many_websockets_at_once(engine, ws_server):
    sockets = [open_websocket(engine, ws_server.url(f"/echo?many{i}"))[0] for i in range(40)]
    for i, ws in enumerate(sockets):
        ws.send_bytes(bytes([i]) * 1000)
    for i, ws in enumerate(sockets):
        assert ws.recv()[:2] == ("binary", [i] * 1000)
        ws.close(1000, "")
    for ws in sockets:
        assert events_until_end(ws)[-1] == ("closed", b"", 1000, "")
