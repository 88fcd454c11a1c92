"""The one import of the native module, laid out the way the wheel lays it
out: beside this package. Every other module reaches it through this one.

Events are tuples whose byte items are ``bytes``:

* request: ``(kind, status, headers, data, message)``;
* WebSocket: ``(kind, data, code, text)``.
"""

from __future__ import annotations

from typing import Any, List, Optional, Tuple

import strandel_native36 as native

RequestEvent = Tuple[str, int, bytes, bytes, Optional[str]]
WebSocketEvent = Tuple[str, bytes, Optional[int], Optional[str]]

PyEngine = native.PyEngine


def new_waker() -> Any:
    """A waker: ``fileno()`` turns readable when an object started with it
    has news; ``drain()`` returns those objects, each to be polled. Core
    threads announce news without taking the interpreter lock."""
    return native.LoopWaker()


def start_with_waker(obj: Any, waker: Any) -> None:
    """Starts a request or connects a WebSocket, its events announced by
    `waker`. The registration holds a reference to `obj` until the object's
    terminal event has been polled, or until `release`."""
    obj.start_waker(waker)


def poll_websocket(ws: Any, limit: int) -> List[WebSocketEvent]:
    events: List[WebSocketEvent] = ws.poll_events_bytes(limit)
    return events


def release(obj: Any, waker: Any) -> None:
    """Ends the waker's interest in `obj`: no notification follows and the
    waker drops any reference it still holds."""
    try:
        obj.detach_callback()
    finally:
        waker.discard(obj)
