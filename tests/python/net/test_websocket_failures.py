"""WebSockets that never open or break the protocol: each failure with its
Core code, Chromium net error and response code, in the module's text."""

import socket

import pytest

import servers
from ws_client import events_until_end, failure_text, open_websocket


CANCELED = "Canceled (Chromium net error -3, response 0)"


def raw(ws_peer, path):
    return f"ws://127.0.0.1:{ws_peer.port}{path}"


@pytest.mark.parametrize("url", [
    "http://127.0.0.1/", "https://127.0.0.1/", "ftp://127.0.0.1/", "ws://",
    "127.0.0.1:80", "ws://127.0.0.1/a b", "ws://127.0.0.1:99999/", "",
])
def test_only_ws_and_wss_urls(engine, url):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        engine.websocket(url)


@pytest.mark.parametrize("kwargs", [
    {"origin": "https://a.example\r\nX-Injected: 1"},
    {"origin": "https://a.example\n"},
    {"origin": "https://a\0.example"},
    {"headers": [("X-Ok", "a\r\nX-Injected: 1")]},
    {"headers": [("X-Ok", "a\nb")]},
    {"headers": [("X-Ok", "a\0b")]},
    {"headers": [("Bad Name", "v")]},
    {"headers": [("", "v")]},
    {"protocols": ["chat\r\n"]},
    {"protocols": ["chat\0"]},
    {"protocols": ["two words"]},
    {"protocols": [""]},
    {"protocols": ["chat", "chat"]},
    {"headers": [("Sec-WebSocket-Protocol", "chat, bad\rname")]},
])
def test_handshake_fields_that_could_inject_are_refused(engine, ws_server, kwargs):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        engine.websocket(ws_server.url("/echo"), **kwargs)


def test_upgrade_refused(engine, ws_server):
    assert failure_text(engine, ws_server.url("/refuse")) == \
        "Protocol (Chromium net error -320, response 403)"


def test_connection_refused(engine):
    url = f"ws://127.0.0.1:{servers.free_port()}/"
    assert failure_text(engine, url) == "Network (Chromium net error -102, response 0)"


def test_name_not_resolved(engine):
    # A label over 63 bytes cannot be put in a DNS query.
    assert failure_text(engine, "ws://" + "a" * 64 + ".invalid/") == \
        "Network (Chromium net error -105, response 0)"


def test_timeout_bounds_the_opening_handshake(engine, ws_peer):
    assert failure_text(engine, raw(ws_peer, "/stall"), timeout=0.3) == \
        "Timeout (Chromium net error -7, response 0)"


def test_timeout_does_not_apply_once_open(engine, ws_server):
    import time

    ws, _ = open_websocket(engine, ws_server.url("/echo?timeout"), timeout=0.2)
    time.sleep(0.4)
    ws.send_text("still here")
    assert ws.recv()[:2] == ("text", list(b"still here"))
    ws.close(1000, "")


@pytest.mark.parametrize("path,text", [
    ("/bad-frame", "Protocol (Chromium net error -145, response 0)"),
    ("/masked-frame", "Protocol (Chromium net error -145, response 0)"),
    ("/unoffered-protocol", "Protocol (Chromium net error -320, response 101)"),
    ("/wrong-accept", "Protocol (Chromium net error -320, response 101)"),
    ("/unknown-extension", "Protocol (Chromium net error -320, response 101)"),
])
def test_peer_breaking_the_protocol(engine, ws_peer, path, text):
    assert failure_text(engine, raw(ws_peer, path), protocols=["chat"]) == text


@pytest.mark.parametrize("path", ["/bad-frame", "/masked-frame"])
def test_protocol_violation_is_answered_with_close_1002(engine, ws_peer, ws_servers_module, path):
    ws_servers_module.RAW_CLOSE_CODES.pop(path, None)
    failure_text(engine, raw(ws_peer, path))
    assert ws_servers_module.RAW_CLOSE_CODES.get(path) == 1002


def test_peer_that_is_not_http(engine, peer):
    # The request tests' scripted peer answers without a status line.
    url = f"ws://127.0.0.1:{peer.port}/not-http"
    assert failure_text(engine, url) == "Protocol (Chromium net error -370, response 0)"


def test_peer_closing_before_answering(engine, peer):
    url = f"ws://127.0.0.1:{peer.port}/close"
    assert failure_text(engine, url) == "Network (Chromium net error -324, response 0)"


def test_cancel_before_the_handshake_completes(engine, ws_peer):
    ws = engine.websocket(raw(ws_peer, "/stall"))
    ws.connect()
    ws.cancel()
    assert events_until_end(ws) == [("error", b"", None, CANCELED)]


def test_cancel_before_connect_ends_the_connection_at_once(engine, ws_server):
    ws = engine.websocket(ws_server.url("/echo"))
    ws.cancel()
    ws.connect()
    assert events_until_end(ws) == [("error", b"", None, CANCELED)]


def test_listener_that_never_accepts(engine):
    # The handshake times out even when the TCP connection never forms.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    try:
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(listener.getsockname())
            fillers.append(s)
        url = f"ws://127.0.0.1:{listener.getsockname()[1]}/"
        assert failure_text(engine, url, timeout=0.3) == \
            "Timeout (Chromium net error -7, response 0)"
    finally:
        for s in fillers:
            s.close()
        listener.close()
