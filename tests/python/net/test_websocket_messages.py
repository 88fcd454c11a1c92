"""Messages and the opening handshake against a `websockets` server."""

import json
import os

import pytest

from ws_client import events_until_end, open_websocket

SIZES = [0, 1, 1 << 20]


def text_of(size):
    # Two-byte characters, so that the UTF-8 is `size` bytes.
    return "é" * (size // 2) + "a" * (size % 2)


@pytest.mark.parametrize("size", SIZES, ids=["empty", "one-byte", "1MiB"])
@pytest.mark.parametrize("kind", ["text", "binary"])
def test_echo(engine, ws_server, kind, size):
    ws, _ = open_websocket(engine, ws_server.url("/echo"))
    if kind == "text":
        payload = text_of(size)
        ws.send_text(payload)
        expected = payload.encode()
    else:
        expected = os.urandom(size)
        ws.send_bytes(expected)
    got_kind, data, code, text = ws.recv()
    assert (got_kind, bytes(data), code, text) == (kind, expected, None, None)
    ws.close(1000, "")


def test_messages_keep_their_order(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/echo"))
    sent = []
    for i in range(300):
        if i % 3 == 0:
            ws.send_bytes(i.to_bytes(2, "big") * (i % 7))
            sent.append(("binary", i.to_bytes(2, "big") * (i % 7)))
        else:
            ws.send_text(f"message {i}")
            sent.append(("text", f"message {i}".encode()))
    received = [(kind, bytes(data)) for kind, data, _, _ in (ws.recv() for _ in sent)]
    assert received == sent
    ws.close(1000, "")


def test_sends_queued_before_the_handshake_go_out_before_the_close(engine, ws_server):
    ws = engine.websocket(ws_server.url("/collect?queued"))
    ws.connect()
    for i in range(20):
        ws.send_text(str(i))  # the upgrade is most likely still under way
    ws.send_bytes(b"\x00\x01")
    ws.close(1000, "after the queue")
    events = events_until_end(ws)
    assert [kind for kind, *_ in events] == ["open", "closing", "closed"]
    assert events[-1] == ("closed", b"", 1000, "after the queue")
    assert ws_server.wait_closed("/collect?queued") == (1000, "after the queue")
    assert ws_server.received["/collect?queued"] == [str(i) for i in range(20)] + [b"\x00\x01"]


def test_handshake_headers_origin_and_default_user_agent(native, ws_server):
    engine = native.PyEngine(user_agent="halvane-test/1.0", accept_language="de-CH")
    ws, protocol = open_websocket(
        engine, ws_server.url("/hello?x=1"), origin="https://app.example",
        headers=[("X-Trace", "abc"), ("X-Trace", "def"), ("Cookie", "a=b")])
    assert protocol == ""
    seen = json.loads(bytes(ws.recv()[1]))
    headers = [(k.lower(), v) for k, v in seen["headers"]]
    assert ("origin", "https://app.example") in headers
    assert ("user-agent", "halvane-test/1.0") in headers
    assert ("accept-language", "de-CH") in headers
    assert [v for k, v in headers if k == "x-trace"] == ["abc", "def"]
    assert ("cookie", "a=b") in headers
    assert ("host", f"127.0.0.1:{ws_server.port}") in headers
    # permessage-deflate is offered and taken up by this server.
    assert seen["extensions"] == ["permessage-deflate"]
    ws.close(1000, "")


def test_caller_headers_win_over_engine_defaults(native, ws_server):
    engine = native.PyEngine(user_agent="engine/1")
    ws, _ = open_websocket(engine, ws_server.url("/hello?own"),
                           headers=[("User-Agent", "caller/2")])
    headers = [(k.lower(), v) for k, v in json.loads(bytes(ws.recv()[1]))["headers"]]
    assert [v for k, v in headers if k == "user-agent"] == ["caller/2"]
    assert not any(k == "origin" for k, _ in headers)
    ws.close(1000, "")


def test_no_user_agent_without_one(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/hello?bare"))
    headers = [k.lower() for k, _ in json.loads(bytes(ws.recv()[1]))["headers"]]
    assert "user-agent" not in headers and "origin" not in headers
    ws.close(1000, "")


@pytest.mark.parametrize("offered,chosen", [
    (["superchat", "chat"], "chat"),
    (["superchat"], "superchat"),
    (["other"], ""),
])
def test_subprotocol_negotiation(engine, ws_server, offered, chosen):
    path = f"/hello?offer={'-'.join(offered)}"
    ws, protocol = open_websocket(engine, ws_server.url(path), protocols=offered)
    assert protocol == chosen
    seen = json.loads(bytes(ws.recv()[1]))
    assert (seen["subprotocol"] or "") == chosen
    offered_header = [v for k, v in seen["headers"] if k.lower() == "sec-websocket-protocol"]
    assert offered_header == [", ".join(offered)]
    ws.close(1000, "")


def test_compressed_text_round_trip(engine, ws_server):
    # Both directions are deflated on this server; a large, repetitive text
    # exercises the compressor and decompressor over many blocks.
    ws, _ = open_websocket(engine, ws_server.url("/echo"))
    text = "".join(f"line {i} of a compressible message\n" for i in range(50000))
    ws.send_text(text)
    kind, data, _, _ = ws.recv()
    assert kind == "text" and bytes(data).decode() == text
    ws.close(1000, "")


def test_ping_is_answered_and_not_reported(engine, ws_peer):
    ws, _ = open_websocket(engine, f"ws://127.0.0.1:{ws_peer.port}/ping")
    assert [ws.recv()[:2] for _ in range(2)] == [("text", list(b"ok")), ("text", list(b"pong-ok"))]
    ws.cancel()


def test_handshakes_share_the_engines_cookie_jar(native, ws_server, tmp_path, monkeypatch):
    # A cookie set by one handshake goes out with the next, merged before the
    # caller's own (as requests merge them), and with plain requests of the
    # engine; in a namespace it
    # is also kept for other engines.
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    engine = native.PyEngine(profile_namespace="ws-jar")
    ws, _ = open_websocket(engine, ws_server.url("/hello?cookie=jar=1"))
    ws.close(1000, "")
    events_until_end(ws)

    def sent_cookies(engine, path, **kwargs):
        ws, _ = open_websocket(engine, ws_server.url(path), **kwargs)
        seen = json.loads(bytes(ws.recv()[1]))
        ws.close(1000, "")
        events_until_end(ws)
        return [v for k, v in seen["headers"] if k.lower() == "cookie"]

    assert sent_cookies(engine, "/hello?again", headers=[("Cookie", "own=2")]) == ["jar=1; own=2"]
    assert sent_cookies(native.PyEngine(profile_namespace="ws-jar"), "/hello?other") == ["jar=1"]
    assert sent_cookies(native.PyEngine(), "/hello?fresh") == []
