"""Small helpers for driving a PyWebSocket in the tests."""

TERMINAL = ("closed", "error")


def open_websocket(engine, url, **kwargs):
    """A connected WebSocket whose "open" event was taken; returns it and
    the negotiated protocol."""
    ws = engine.websocket(url, **kwargs)
    ws.connect()
    kind, data, _code, text = ws.recv()
    assert kind == "open", text
    return ws, bytes(data).decode()


def events_until_end(ws):
    """Every event up to and with the terminal one, as (kind, data, code, text)
    with data as bytes."""
    events = []
    while True:
        event = ws.recv()
        assert event is not None, f"stream ended without a terminal event: {events}"
        kind, data, code, text = event
        events.append((kind, bytes(data), code, text))
        if kind in TERMINAL:
            return events


def outcome(engine, url, **kwargs):
    """The terminal event of a WebSocket that is connected and left alone."""
    ws = engine.websocket(url, **kwargs)
    ws.connect()
    return events_until_end(ws)[-1]


def failure_text(engine, url, **kwargs):
    kind, _data, _code, text = outcome(engine, url, **kwargs)
    assert kind == "error", (kind, text)
    return text
