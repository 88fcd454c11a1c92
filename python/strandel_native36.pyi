"""The native HTTP and WebSocket client: the low-level surface.

Byte data come back as lists of ints (one per byte) from the original
methods, and as ``bytes`` from their ``*_bytes`` twins. Byte data given to the
module may be any sequence of ints 0 to 255; ``bytes``, ``bytearray`` and
one-dimensional unsigned-byte ``memoryview`` objects are taken in one copy.
Every failure is a ``RuntimeError`` carrying the error's text.
"""

from typing import Any, Callable, Optional, Sequence, Tuple, TypeVar, Union

__all__ = ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket", "abi_version"]

abi_version: int

_ByteData = Union[bytes, bytearray, memoryview, Sequence[int]]
_Headers = Sequence[Tuple[str, str]]

# (kind, status, headers, data, message); kind is "redirect", "response",
# "body", "done" (terminal) or "error" (terminal).
_RequestEvent = Tuple[str, int, list[int], list[int], Optional[str]]
_RequestEventBytes = Tuple[str, int, bytes, bytes, Optional[str]]
# (kind, data, code, text); kind is "open", "text", "binary", "closing",
# "closed" (terminal) or "error" (terminal).
_WebSocketEvent = Tuple[str, list[int], Optional[int], Optional[str]]
_WebSocketEventBytes = Tuple[str, bytes, Optional[int], Optional[str]]
# (status, header block, first text, second text)
_Redirect = Tuple[int, list[int], str, str]

_W = TypeVar("_W", bound="LoopWaker")


class PyEngine:
    def __new__(
        cls,
        impersonate: Optional[str] = None,
        proxy: Optional[str] = None,
        verify: bool = True,
        ca_pem: Optional[_ByteData] = None,
        user_agent: Optional[str] = None,
        accept_language: Optional[str] = None,
        proxy_username: Optional[str] = None,
        proxy_password: Optional[str] = None,
        http_version: Optional[str] = None,
        cache: bool = True,
        profile_namespace: Optional[str] = None,
    ) -> "PyEngine": ...
    @staticmethod
    def abi_version() -> int: ...
    @staticmethod
    def core_version() -> Optional[str]: ...
    def request(
        self,
        method: str,
        url: str,
        headers: Optional[_Headers] = None,
        body: Optional[_ByteData] = None,
        timeout: Optional[float] = None,
        allow_redirects: bool = True,
        redirect: Optional[str] = None,
        cache: Optional[str] = None,
        priority: Optional[str] = None,
        chunked: bool = False,
    ) -> "PyRequest": ...
    def websocket(
        self,
        url: str,
        origin: str = "",
        headers: Optional[_Headers] = None,
        timeout: Optional[float] = None,
        protocols: Optional[Sequence[str]] = None,
    ) -> "PyWebSocket": ...


class PyResponse:
    @property
    def status_code(self) -> int: ...
    @property
    def headers(self) -> bytes: ...
    @property
    def content(self) -> bytes: ...


class PyRequest:
    # Blocking use; the waiting methods release the interpreter lock.
    def start(self) -> None: ...
    def start_stream(self) -> PyResponse: ...
    def await_response(self) -> PyResponse: ...
    def next_body(self) -> Optional[list[int]]: ...
    def read_body(self) -> list[int]: ...
    def next_body_bytes(self) -> Optional[bytes]:
        """As next_body: the next chunk, or None at the end."""
    def read_body_bytes(self) -> bytes:
        """As read_body: the rest of the body."""

    # Upload and flow control.
    def upload_write(self, data: _ByteData, final_chunk: bool) -> None: ...
    def upload_finish(self) -> None: ...
    def resume_read(self) -> None: ...
    def cancel(self) -> None: ...
    def is_finished(self) -> bool: ...

    # Redirect control.
    def follow_redirect(self) -> None: ...
    def take_redirects(self) -> list[_Redirect]: ...
    def wait_redirect(self, timeout: Optional[float] = None) -> Optional[_Redirect]: ...
    def wait_manual(
        self, timeout: Optional[float] = None
    ) -> Tuple[Optional[_Redirect], Optional[Tuple[int, list[int]]]]: ...

    # Event-loop use.
    def attach_async(self, loop_: Any, notify: Callable[[], Any]) -> None: ...
    def start_async(self, loop_: Any, notify: Callable[[], Any]) -> None: ...
    def start_waker(self, waker: "LoopWaker") -> None:
        """Registers with ``waker`` and starts the request.

        News of the request then queues it on the waker, from the Core's
        threads and without the interpreter lock. The registration (and the
        waker's reference to this object) ends when a poll hands out the
        terminal event, or on detach_callback(), cancel(), waker.discard()
        or waker.close(). If the start fails, the registration ends and the
        error is raised.
        """
    def poll_event(self) -> Optional[_RequestEvent]: ...
    def poll_events(self, limit: Optional[int] = None) -> list[_RequestEvent]: ...
    def poll_events_bytes(self, limit: Optional[int] = None) -> list[_RequestEventBytes]:
        """As poll_events, with the header and data items as bytes.

        At most ``limit`` events (64 by default) per call; a full batch may
        leave events behind without further news, so poll again.
        """
    def detach_callback(self) -> None: ...


class PyWebSocket:
    def connect(self) -> None: ...
    def send_text(self, text: str) -> None: ...
    def send_bytes(self, data: _ByteData) -> None: ...
    def recv(self) -> Optional[_WebSocketEvent]: ...
    def recv_bytes(self) -> Optional[_WebSocketEventBytes]:
        """As recv, with the data item as bytes."""
    def close(self, code: int, reason: str) -> None:
        """Starts the closing handshake. A loop notifier (start_async) is
        detached; a waker registration (start_waker) is kept, so that the
        closing events are announced until the terminal one is polled."""
    def cancel(self) -> None:
        """Cancels the connection; the end arrives as an event. Detaches a
        loop notifier and keeps a waker registration, as close() does."""
    def is_finished(self) -> bool: ...
    def detach_callback(self) -> None: ...
    def start_async(self, loop_: Any, notify: Callable[[], Any]) -> None: ...
    def start_waker(self, waker: "LoopWaker") -> None:
        """Registers with ``waker`` and connects; see PyRequest.start_waker.
        The registration ends when a poll hands out "closed" or "error", or
        on detach_callback(), waker.discard() or waker.close()."""
    def poll_event(self) -> Optional[_WebSocketEvent]: ...
    def poll_events(self, limit: Optional[int] = None) -> list[_WebSocketEvent]: ...
    def poll_events_bytes(self, limit: Optional[int] = None) -> list[_WebSocketEventBytes]:
        """As poll_events, with the data item as bytes."""


class LoopWaker:
    """One per event loop, shared by every request and WebSocket started on
    it with start_waker(). Its descriptor is readable while some of them
    have news; drain() says which. Not in ``__all__``.

    Typical use: ``loop.add_reader(waker.fileno(), on_ready)``, where
    ``on_ready`` polls every object that ``waker.drain()`` returns.
    """

    def __new__(cls) -> "LoopWaker": ...
    def fileno(self) -> int:
        """The descriptor to watch (an eventfd); RuntimeError once closed."""
    def drain(self) -> list[Union[PyRequest, PyWebSocket]]:
        """The registered objects with news since the last drain, each once,
        in order of first news; resets the descriptor. News arriving during
        or after the drain makes the descriptor readable again, so an
        object may come back although its poll already took the news."""
    def discard(self, obj: Union[PyRequest, PyWebSocket]) -> bool:
        """Ends the registration of ``obj`` and drops the waker's reference
        to it; False when it had none."""
    def close(self) -> None:
        """Ends every registration and closes the descriptor; idempotent.
        Later start_waker() calls raise RuntimeError."""
    def __enter__(self: _W) -> _W: ...
    def __exit__(self, *exc_info: object) -> None: ...
