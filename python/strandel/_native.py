"""The one import of the native module, laid out the way the wheel lays it
out: beside this package. Every other module reaches it through this one.

Events are tuples whose byte items are ``bytes``:

* request: ``(kind, status, headers, data, message)``;
* WebSocket: ``(kind, data, code, text)``.
"""

from __future__ import annotations

from typing import Any, FrozenSet, List, Optional, Tuple

import strandel_native36 as native

RequestEvent = Tuple[str, int, bytes, bytes, Optional[str]]
WebSocketEvent = Tuple[str, bytes, Optional[int], Optional[str]]

PyEngine = native.PyEngine

# What this Core can do beyond the base interface ("connect_timeout",
# "cookies", "cache_state", "websocket_ping", "max_message_size"); a module
# built before these existed has none.
CORE_EXTENSIONS: FrozenSet[str] = frozenset(getattr(native, "core_extensions", frozenset()))


def has_extension(name: str) -> bool:
    return name in CORE_EXTENSIONS


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
