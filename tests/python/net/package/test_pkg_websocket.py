"""WebSockets through the package: messages, closing from either side,
failed handshakes, and a cancelled receive that loses nothing."""

import asyncio

import pytest


def test_blocking_conversation(strandel, client, ws_server):
    with client.websocket(ws_server.url("/echo?blocking"), headers={"X-A": "1"}) as ws:
        ws.send_text("héllo")
        ws.send_bytes(b"\x00\xff")
        ws.send("via send")
        assert ws.receive() == strandel.TextMessage("héllo")
        assert ws.receive_bytes() == b"\x00\xff"
        assert ws.receive_text() == "via send"
        with pytest.raises(strandel.TimeoutException):
            ws.receive(timeout=0.05)
        assert ws.close(4000, "done") == strandel.CloseMessage(4000, "done")
        assert ws.receive() == strandel.CloseMessage(4000, "done")  # and every time after
    assert ws_server.wait_closed("/echo?blocking") == (4000, "done")


def test_server_closes_and_iteration_ends(strandel, client, ws_server):
    with client.websocket(ws_server.url("/close?code=4001&reason=bye")) as ws:
        assert list(ws) == []
        assert ws.close_message == strandel.CloseMessage(4001, "bye")
    with client.websocket(ws_server.url("/drop")) as ws:
        assert list(ws) == [strandel.TextMessage("bye")]
        assert ws.close_message.code == 1006


def test_subprotocol(client, ws_server):
    with client.websocket(ws_server.url("/hello?offer=superchat-chat"),
                          subprotocols=["superchat", "chat"]) as ws:
        assert ws.subprotocol == "chat"


def test_refused_handshake(strandel, client, ws_server):
    with pytest.raises(strandel.HTTPError) as info:
        with client.websocket(ws_server.url("/refuse")):
            pass
    assert info.value.response_code == 403
    assert str(info.value).endswith(", response 403)")


def test_use_out_of_order_is_refused(strandel, client, ws_server):
    with pytest.raises(strandel.WebSocketError, match="^the WebSocket is not connected$"):
        client.websocket(ws_server.url("/echo?early")).receive()
    with client.websocket(ws_server.url("/echo?late")) as ws:
        ws.close()
        with pytest.raises(strandel.WebSocketError, match="^InvalidState$"):
            ws.send_text("late")


def test_async_conversation_and_cancelled_receive(strandel, ws_server, run):
    async def main():
        async with strandel.AsyncClient() as client:
            async with client.websocket(ws_server.url("/echo?async")) as ws:
                waiting = asyncio.ensure_future(ws.receive())
                for _ in range(3):  # parked in receive with nothing to take
                    await asyncio.sleep(0)
                waiting.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await waiting
                await ws.send_text("one")
                await ws.send_bytes(b"two")
                got = [await ws.receive(), await asyncio.wait_for(ws.receive(), 10)]
                await ws.send_text("three")
                await ws.close(1000, "")
                async for message in ws:
                    got.append(message)
            [dispatcher] = client._dispatchers.values()
            assert dispatcher._channels == {}
            return got, ws.close_message

    got, closed = run(main())
    assert got == [strandel.TextMessage("one"), strandel.BinaryMessage(b"two")]
    assert closed == strandel.CloseMessage(1000, "")


def test_async_iteration_until_the_server_closes(strandel, ws_server, run):
    async def main():
        async with strandel.AsyncClient() as client:
            async with client.websocket(ws_server.url("/drop")) as ws:
                return [m async for m in ws], ws.close_message

    assert run(main()) == ([strandel.TextMessage("bye")], strandel.CloseMessage(1006, ""))


def test_receive_timeouts_leave_the_connection_usable(strandel, client, ws_server, run):
    with client.websocket(ws_server.url("/echo?timeouts")) as ws:
        with pytest.raises(strandel.ReadTimeout, match=r"^no message within the timeout "
                                                       r"\(0.05 s\)$"):
            ws.receive(timeout=0.05)
        ws.send_text("after")
        assert ws.receive_text(timeout=30) == "after"

    async def main():
        async with strandel.AsyncClient(timeout=30) as aclient:
            async with aclient.websocket(ws_server.url("/echo?async-timeouts")) as ws:
                with pytest.raises(strandel.ReadTimeout):
                    await ws.receive(timeout=0.05)
                await ws.send_text("after")
                assert await ws.receive_text(timeout=30) == "after"
    run(main())


def test_ping_and_message_size_where_the_core_has_them(strandel, client, ws_server):
    extensions = strandel._native.CORE_EXTENSIONS
    with client.websocket(ws_server.url("/echo?ping")) as ws:
        if "websocket_ping" in extensions:
            ws.ping(b"are you there")
            ws.send_text("yes")
            assert ws.receive_text(timeout=30) == "yes"
        else:
            with pytest.raises(NotImplementedError, match="does not support WebSocket pings"):
                ws.ping()
        with pytest.raises(ValueError, match="at most 125 bytes"):
            ws.ping(b"x" * 126)
    if "max_message_size" not in extensions:
        with pytest.raises(NotImplementedError, match="does not support max_message_size"):
            client.websocket(ws_server.url("/echo"), max_message_size=1024)
        return
    with client.websocket(ws_server.url("/echo?size"), max_message_size=1024) as ws:
        ws.send_bytes(b"s" * 1024)
        assert ws.receive_bytes(timeout=30) == b"s" * 1024
        ws.send_bytes(b"b" * 1025)
        try:
            message = ws.receive(timeout=30)
        except strandel.HTTPError:
            pass  # the connection failed on the message
        else:
            assert message == strandel.CloseMessage(1009, message.reason)
