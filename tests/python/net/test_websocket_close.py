"""How a WebSocket ends: the closing handshake from either side, the peer
going away, over-large messages, and what the Core refuses once closing."""

import pytest

from ws_client import events_until_end, open_websocket, outcome


@pytest.mark.parametrize("code,reason", [
    (1000, ""),
    (1001, "going away"),
    (3000, "x" * 123),
    (4999, "fin é"),
])
def test_close_started_by_us(engine, ws_server, code, reason):
    path = f"/echo?close={code}-{len(reason)}"
    ws, _ = open_websocket(engine, ws_server.url(path))
    ws.close(code, reason)
    # The server answers with the same code and reason.
    assert events_until_end(ws) == [("closing", b"", None, None), ("closed", b"", code, reason)]
    assert ws.is_finished()
    assert ws.recv() is None
    assert ws_server.wait_closed(path) == (code, reason)


@pytest.mark.parametrize("code,reason", [(1000, "done"), (1008, "policy"), (4321, "")])
def test_close_started_by_the_server(engine, ws_server, code, reason):
    ws, _ = open_websocket(engine, ws_server.url(f"/close?code={code}&reason={reason}"))
    assert events_until_end(ws) == [("closing", b"", None, None), ("closed", b"", code, reason)]


def test_server_dropping_the_connection_is_an_abnormal_closure(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/drop"))
    assert events_until_end(ws) == [("text", b"bye", None, None), ("closed", b"", 1006, "")]


@pytest.mark.parametrize("code", [0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535])
def test_close_codes_not_allowed_on_the_wire(engine, ws_server, code):
    ws, _ = open_websocket(engine, ws_server.url("/echo?badcode"))
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        ws.close(code, "")
    ws.send_text("still open")
    assert ws.recv()[:2] == ("text", list(b"still open"))
    ws.close(1000, "")


@pytest.mark.parametrize("code", [0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535])
def test_close_codes_a_server_must_not_send(engine, ws_peer, code):
    url = f"ws://127.0.0.1:{ws_peer.port}/close-code?{code}"
    assert outcome(engine, url) == \
        ("error", b"", None, "Protocol (Chromium net error -145, response 0)")


@pytest.mark.parametrize("reason", ["x" * 124, "é" * 62])
def test_close_reason_over_123_bytes(engine, ws_server, reason):
    ws, _ = open_websocket(engine, ws_server.url("/echo?longreason"))
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        ws.close(1000, reason)
    ws.close(1000, "x" * 123)
    assert events_until_end(ws)[-1] == ("closed", b"", 1000, "x" * 123)


def test_sending_after_the_close_began(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/echo?late"))
    ws.close(1000, "")
    for send in (lambda: ws.send_text("late"), lambda: ws.send_bytes(b"late")):
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            send()
    ws.close(1000, "again")  # closing twice changes nothing
    assert events_until_end(ws)[-1] == ("closed", b"", 1000, "")
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.send_text("after the end")


def test_sending_after_the_server_began_closing(engine, ws_server):
    ws, _ = open_websocket(engine, ws_server.url("/close?code=1000&reason=server"))
    assert ws.recv()[0] == "closing"
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.send_text("too late")
    ws.close(1000, "")  # answering a close is already done, and harmless
    assert ws.recv() == ("closed", [], 1000, "server")


def test_before_connect(engine, ws_server):
    ws = engine.websocket(ws_server.url("/echo"))
    for call in (lambda: ws.send_text("x"), lambda: ws.close(1000, "")):
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            call()


def test_message_over_64_mib_fails_and_tells_the_server(engine, ws_server):
    path = f"/big?size={64 * 1024 * 1024 + 1}"
    ws, _ = open_websocket(engine, ws_server.url(path))
    assert events_until_end(ws) == \
        [("error", b"", None, "Protocol (Chromium net error -142, response 0)")]
    assert ws_server.wait_closed(path)[0] == 1009
