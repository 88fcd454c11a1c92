"""Inputs and call patterns that once broke the binding: lying lengths, huge
lists, integers beyond a C long, re-entrant polls and very long timeouts."""

import sys
import threading

import pytest

import fake_websockets as fw
from fake_requests import FakeRequest, last_request_record, tidy_requests  # noqa: F401
from fake_websockets import FakeWebSocket

URL = "http://127.0.0.1/x"
WS_URL = "ws://127.0.0.1/ws"


@pytest.fixture(autouse=True)
def clean_records():
    fw.reset()
    yield
    fw.wait_idle()


class Lying:
    """A sequence whose __len__ claims far more than it holds."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        return self.items[i]


def test_lengths_are_only_hints(engine):
    headers = [("a", "1"), ("b", "2")]
    engine.request("POST", URL, headers=Lying(headers), body=Lying([1, 2]))
    rec = last_request_record()
    assert rec["headers"] == [(b"a", b"1"), (b"b", b"2")] and rec["body"] == b"\x01\x02"

    ws = engine.websocket(WS_URL, headers=Lying(headers), protocols=Lying(["p"]))
    rec = fw.last_record()
    assert rec["headers"] == [(b"a", b"1"), (b"b", b"2")] and rec["protocols"] == [b"p"]
    ws.connect()
    ws.send_bytes(Lying([7]))
    assert fw.sends() == [(2, b"\x07")]

    req = engine.request("POST", URL, chunked=True)
    req.start()
    req.upload_write(Lying([9, 8]), False)
    assert FakeRequest.last().uploads() == [(b"\x09\x08", 0)]


def test_protocol_count_is_capped(engine, fake):
    engine.websocket(WS_URL, protocols=["p"] * 1024)
    assert len(fw.last_record()["protocols"]) == 1024
    created = fake.call_count("hv_websocket_create")
    for protocols in (["p"] * 1025, ["p"] * 100_000):
        with pytest.raises(RuntimeError, match="^InvalidArgument$"):
            engine.websocket(WS_URL, protocols=protocols)
    assert fake.call_count("hv_websocket_create") == created


@pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 2**100])
def test_ints_beyond_a_c_long_raise_the_interpreters_overflow(engine, big):
    ws = engine.websocket(WS_URL)
    ws.connect()
    for call in (lambda: ws.send_bytes([big]), lambda: ws.close(big, ""),
                 lambda: engine.request("GET", URL, body=[1, big])):
        with pytest.raises(OverflowError, match="^Python int too large to convert to C long$"):
            call()


def test_module_docstring_is_empty(native):
    assert native.__doc__ == ""


class SilentLoop:
    def call_soon_threadsafe(self, fn):
        pass


def test_a_finaliser_may_poll_the_websocket_it_was_polled_from(engine):
    ws = engine.websocket(WS_URL)
    polled = []

    class Notify:
        def __call__(self):
            pass

        def __del__(self):
            polled.append(ws.poll_events())

    ws.start_async(SilentLoop(), Notify())
    FakeWebSocket.last().closed(1000, b"", now=True)
    # The terminal event drops the notifier, whose finaliser polls again.
    assert ws.poll_events() == [("closed", [], 1000, "")]
    assert polled == [[]]


def test_a_very_long_redirect_wait_waits_for_the_event(engine):
    req = engine.request("GET", URL, redirect="manual")
    req.start()
    core = FakeRequest.last()
    waited = {}
    waiting = threading.Thread(target=lambda: waited.setdefault("r", req.wait_redirect(3e9)))
    waiting.start()
    core.redirect(301, b"H", b"u", b"v")
    waiting.join()
    assert waited["r"] is not None and waited["r"][0] == 301
