"""The bytes variants of the body, poll and receive methods, and byte data
taken from bytes, bytearray and memoryview in one go."""

import array
import os

import pytest

import fake_websockets as fw
from fake_requests import NETWORK, FakeRequest, last_request_record, tidy_requests  # noqa: F401
from fake_websockets import FakeWebSocket

URL = "http://127.0.0.1/bytes"
HEAD = b"HTTP/1.1 200 OK\r\n\r\n"
LARGE = os.urandom(700_000)

CHUNKS = {
    "none": [],
    "one empty": [b""],
    "small with an empty one": [b"ab", b"", b"\x00\xff"],
    "large": [LARGE, b"x", LARGE[:65_536]],
}


def scripted(engine, chunks, failure=None):
    """A started request whose head, chunks and end are queued already."""
    req = engine.request("GET", URL)
    req.start()
    core = FakeRequest.last().response(200, HEAD, when="now")
    for chunk in chunks:
        core.body(chunk, when="now")
    core.complete(*(failure or (0, 0)), when="now")
    return req


def read_all(next_fn):
    out = []
    while (chunk := next_fn()) is not None:
        out.append(chunk)
    return out


@pytest.mark.parametrize("chunks", CHUNKS.values(), ids=CHUNKS.keys())
def test_request_bytes_variants_match_the_lists(engine, chunks):
    by_list, by_bytes = scripted(engine, chunks), scripted(engine, chunks)
    for req in (by_list, by_bytes):
        req.await_response()
    lists, blobs = read_all(by_list.next_body), read_all(by_bytes.next_body_bytes)
    assert all(type(b) is bytes for b in blobs)
    assert [bytes(x) for x in lists] == blobs == chunks
    assert by_bytes.next_body_bytes() is None and by_bytes.read_body_bytes() == b""

    whole_list, whole_bytes = scripted(engine, chunks), scripted(engine, chunks)
    for req in (whole_list, whole_bytes):
        req.await_response()
    body = whole_bytes.read_body_bytes()
    assert type(body) is bytes and body == bytes(whole_list.read_body()) == b"".join(chunks)

    polled_list, polled_bytes = scripted(engine, chunks), scripted(engine, chunks)
    events = polled_list.poll_events(1000)
    fast = polled_bytes.poll_events_bytes(limit=1000)
    assert [(k, s, bytes(h), bytes(d), m) for k, s, h, d, m in events] == fast
    assert all(type(e[2]) is bytes and type(e[3]) is bytes for e in fast)
    assert [e[0] for e in fast] == ["response"] + ["body"] * len(chunks) + ["done"]
    assert fast[0][2] == HEAD
    assert polled_bytes.poll_events_bytes() == []


def test_request_bytes_variants_mirror_errors(engine):
    req = engine.request("GET", URL)
    for method in (req.next_body_bytes, req.read_body_bytes):
        with pytest.raises(RuntimeError, match="^request body stream is not started$"):
            method()
    with pytest.raises(TypeError) as exc:
        req.read_body_bytes(1)
    assert str(exc.value) == "PyRequest.read_body_bytes() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as exc:
        req.poll_events_bytes(limit="x")
    assert str(exc.value).startswith("argument 'limit': ")

    failing = scripted(engine, [b"ab", b"cd"], failure=(NETWORK, -355))
    failing.await_response()
    assert failing.next_body_bytes() == b"ab"
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -355\)$"):
        failing.read_body_bytes()
    assert failing.next_body_bytes() is None


def released_view():
    view = memoryview(b"abc")
    view.release()
    return view


# Each input is sent as what iterating it gives, fast path or not.
INPUTS = {
    "bytes": b"\x00\x01\xff",
    "empty bytes": b"",
    "bytearray": bytearray(b"xyz"),
    "memoryview": memoryview(b"hello"),
    "strided view": memoryview(bytearray(range(10)))[::3],
    "array view": memoryview(array.array("B", [1, 2, 250])),
    "wide items below 256": memoryview(array.array("H", [1, 255])),
    "list": [7, 8],
    "large": LARGE,
}


def expected(data):
    return None if len(data) == 0 else bytes(list(data))


@pytest.mark.parametrize("data", INPUTS.values(), ids=INPUTS.keys())
def test_byte_inputs_reach_the_core_as_their_items(engine, native, data):
    req = engine.request("POST", URL, chunked=True)
    req.start()
    req.upload_write(data, False)
    assert FakeRequest.last().uploads() == [(expected(data), 0)]

    engine.request("POST", URL, body=data)
    assert last_request_record()["body"] == expected(data)

    fw.reset()
    ws = engine.websocket("ws://127.0.0.1/ws")
    ws.send_bytes(data)
    assert fw.sends() == [(2, expected(data))]


@pytest.mark.parametrize("data, exc_type", [
    (memoryview(array.array("H", [1, 256])), OverflowError),  # items, not raw bytes
    (released_view(), ValueError),
])
def test_byte_inputs_refused_like_sequences(engine, data, exc_type):
    req = engine.request("POST", URL, chunked=True)
    req.start()
    with pytest.raises(exc_type):
        req.upload_write(data, True)
    with pytest.raises(exc_type):
        engine.websocket("ws://127.0.0.1/ws").send_bytes(data)
    assert FakeRequest.last().uploads() == []


def test_websocket_bytes_variants_match_the_lists(engine):
    def connected():
        ws = engine.websocket("ws://127.0.0.1/ws")
        ws.connect()
        core = FakeWebSocket.last().open(b"chat", now=True)
        core.message(b"hi", 1, now=True).message(LARGE, 2, now=True).message(b"", 2, now=True)
        core.closed(1000, b"bye", now=True)
        return ws

    lists = read_all(connected().recv)
    blobs = read_all(connected().recv_bytes)
    assert [(k, bytes(d), c, t) for k, d, c, t in lists] == blobs
    assert all(type(e[1]) is bytes for e in blobs)
    assert [e[0] for e in blobs] == ["open", "text", "binary", "binary", "closed"]
    assert blobs[0][1] == b"chat" and blobs[2][1] == LARGE and blobs[4][2:] == (1000, "bye")
    assert connected().poll_events_bytes(limit=100) == blobs

    for method in ("recv_bytes", "poll_events_bytes"):
        with pytest.raises(RuntimeError, match="^WebSocket is not connected$"):
            getattr(engine.websocket("ws://127.0.0.1/ws"), method)()
