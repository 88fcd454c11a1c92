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

# The extensions of the loaded Core: a subset of "connect_timeout", "cookies",
# "cache_state", "websocket_ping" and "max_message_size". A method that needs
# one the Core lacks raises NotImplementedError("this Core does not support ...").
core_extensions: frozenset[str]

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
# (name, value, domain, path, secure, http_only, expires, host_only): domain
# without a leading dot; expires in seconds since the epoch, None for a
# session cookie; host_only for a cookie set without a Domain attribute.
_Cookie = Tuple[str, str, str, str, bool, bool, Optional[int], bool]

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
        connect_timeout: Optional[float] = None,
    ) -> "PyRequest":
        """Creates a request (not started).

        ``connect_timeout`` (seconds) bounds establishing the connection
        alone (TCP and TLS, or QUIC); expiry fails the request with
        "Timeout (Chromium net error -118)". Needs the "connect_timeout"
        extension. A streamed body (``chunked=True``) whose ``headers`` give
        a valid Content-Length goes out sized and is held to that length.
        """
    def websocket(
        self,
        url: str,
        origin: str = "",
        headers: Optional[_Headers] = None,
        timeout: Optional[float] = None,
        protocols: Optional[Sequence[str]] = None,
        max_message_size: Optional[int] = None,
    ) -> "PyWebSocket":
        """Creates a WebSocket (not connected).

        ``max_message_size``: the most one received message may hold, 1 to
        2**30 bytes (None: 4 MiB); a larger one closes the connection with
        1009 and fails it. Needs the "max_message_size" extension.
        """

    # The engine's own cookie jar (its namespace's, when it has one); needs
    # the "cookies" extension. Changes reach the next request at once.
    def cookies(self) -> list[_Cookie]: ...
    def set_cookie(
        self,
        name: str,
        value: str,
        domain: str,
        path: str = "/",
        secure: bool = False,
        http_only: bool = False,
        expires: Optional[int] = None,
        host_only: bool = False,
    ) -> None:
        """Stores a cookie, replacing one of the same name, domain and path.
        A cookie the jar cannot hold raises ValueError("cookie refused: ...")."""
    def delete_cookies(
        self, domain: Optional[str] = None, path: Optional[str] = None, name: Optional[str] = None
    ) -> int:
        """Deletes the cookies matching every filter given (the domain
        exactly, without a leading dot; none: the whole jar); how many went."""


class PyResponse:
    @property
    def status_code(self) -> int: ...
    @property
    def headers(self) -> bytes: ...
    @property
    def content(self) -> bytes: ...
    def cache_state(self) -> Optional[str]:
        """How the Core answered: "network", "cache" (a stored response,
        the origin not asked) or "revalidated" (a stored response confirmed
        by a 304); None on a Core without the "cache_state" extension."""


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
    def cache_state(self) -> Optional[str]:
        """As PyResponse.cache_state, once the response head is in; None
        before, and for the event-loop style where no PyResponse is made."""

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
    def ping(self, data: _ByteData = b"") -> None:
        """Sends a ping frame (at most 125 bytes, else ValueError); its pong
        is not reported. Needs the "websocket_ping" extension."""
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
