"""WebSocket connections: blocking (WebSocket) and asyncio (AsyncWebSocket)."""

from __future__ import annotations

import asyncio
import collections
import time
from dataclasses import dataclass
from typing import Any, AsyncIterator, Callable, Deque, Iterator, List, Optional, Union

from . import _log, _native
from ._errors import HTTPError, ReadTimeout, WebSocketError, error_from_text, from_native
from . import _checks
from ._timeout import seconds
from ._wait import AsyncChannel, SyncChannel

# How long leaving a ``with`` block waits for the server to answer our close
# before the connection is dropped.
CLOSE_TIMEOUT = 10.0


@dataclass(frozen=True)
class TextMessage:
    data: str


@dataclass(frozen=True)
class BinaryMessage:
    data: bytes


@dataclass(frozen=True)
class CloseMessage:
    """The end of the connection: the close code (1006 when the connection
    was dropped without a closing handshake) and reason."""
    code: int
    reason: str


Message = Union[TextMessage, BinaryMessage, CloseMessage]


class _Conversation:
    """Events of one native WebSocket turned into messages; shared by both
    flavours, which differ only in how they wait."""

    def __init__(self, native: Any, url: str) -> None:
        self.native = native
        self.url = url
        self.pending: Deque[_native.WebSocketEvent] = collections.deque()
        self.subprotocol: Optional[str] = None
        self.close_message: Optional[CloseMessage] = None
        self.error: Optional[HTTPError] = None
        self.opened = False

    @property
    def finished(self) -> bool:
        return self.close_message is not None or self.error is not None

    def poll(self) -> List[_native.WebSocketEvent]:
        return _native.poll_websocket(self.native, 16)

    def _apply(self, event: _native.WebSocketEvent) -> Optional[Message]:
        kind, data, code, text = event
        if kind == "text":
            return TextMessage(data.decode("utf-8", "replace"))
        if kind == "binary":
            return BinaryMessage(data)
        if kind == "open":
            self.opened = True
            self.subprotocol = data.decode("utf-8", "replace")
            if _log.enabled():
                _log.websocket_opened(self.url, self.subprotocol)
        elif kind == "closed":
            self.end_with(CloseMessage(code if code is not None else 1006, text or ""))
        elif kind == "error":
            self.error = error_from_text(text or "", websocket=True)
            if _log.enabled():
                _log.websocket_ended(self.url, self.error)
        return None

    def end_with(self, close_message: CloseMessage) -> None:
        self.close_message = close_message
        if _log.enabled():
            _log.websocket_ended(self.url, close_message)

    def take(self) -> Optional[Message]:
        """The next message from the queued events; None when more events are
        needed. Raises the connection's failure."""
        while True:
            if self.close_message is not None:
                return self.close_message
            if self.error is not None:
                raise self.error
            if not self.pending:
                return None
            message = self._apply(self.pending.popleft())
            if message is not None:
                return message

    def settle_open(self) -> bool:
        """Takes the events of the opening handshake; True once it ended,
        leaving the messages that followed it queued."""
        while self.pending and not self.opened and not self.finished:
            if self.pending[0][0] in ("text", "binary"):
                self.opened = True
                break
            self._apply(self.pending.popleft())
        return self.opened or self.finished

    def drop_until_end(self, events: List[_native.WebSocketEvent]) -> None:
        """While closing: messages still arriving are dropped."""
        self.pending.extend(events)
        while self.pending and not self.finished:
            self._apply(self.pending.popleft())

    def check_open(self) -> None:
        """After the first events of a connect: raises unless it opened."""
        if self.error is not None:
            raise self.error
        if not self.opened:
            raise WebSocketError(f"the connection closed during the opening handshake "
                                 f"({self.close_message})")

    def call(self, method: Callable[..., Any], *args: Any) -> None:
        try:
            method(*args)
        except RuntimeError as e:
            raise from_native(e, websocket=True) from None

    def ping(self, data: Any) -> None:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"ping data must be bytes, not {type(data).__name__}")
        if len(data) > 125:
            raise ValueError(f"ping data must be at most 125 bytes, not {len(data)}")
        if not _native.has_extension("websocket_ping"):
            raise NotImplementedError("this Core does not support WebSocket pings")
        self.call(self.native.ping, bytes(data))

    def receive_type(self, message: Message, wanted: type) -> Any:  # str or bytes
        if not isinstance(message, wanted):
            raise WebSocketError(f"expected a {wanted.__name__}, got {message!r}")
        return getattr(message, "data")


class _Endpoint:
    """What the blocking and the asyncio WebSocket share: the conversation,
    the channel its news arrives on, and how the connection is ended."""

    def __init__(self, native: Any, url: str = "") -> None:
        self._c = _Conversation(native, url)
        self._channel: Any = None

    @property
    def subprotocol(self) -> Optional[str]:
        """The sub-protocol the server chose ("" for none)."""
        return self._c.subprotocol

    @property
    def close_message(self) -> Optional[CloseMessage]:
        return self._c.close_message

    def _connected_channel(self) -> Any:
        if self._channel is None:
            raise WebSocketError("the WebSocket is not connected")
        return self._channel

    @staticmethod
    def _deadline(timeout: Optional[float]) -> Optional[float]:
        bound = seconds(timeout, "timeout")
        return None if bound is None else time.monotonic() + bound

    @staticmethod
    def _timed_out(timeout: Optional[float]) -> ReadTimeout:
        return ReadTimeout(f"no message within the timeout ({timeout:g} s)")

    def _end(self, cancel: bool = False) -> None:
        if cancel:
            try:
                self._c.native.cancel()
            except RuntimeError:
                pass
            if self._c.close_message is None and self._c.error is None:
                self._c.end_with(CloseMessage(1006, ""))
        if self._channel is not None:
            self._channel.close()
            self._channel = None


class WebSocket(_Endpoint):
    """A blocking WebSocket; ``with client.websocket(url) as ws``. One thread
    receives at a time; sending from another thread is fine."""

    def connect(self) -> None:
        """Opens the connection; raises if the handshake fails."""
        self._channel = SyncChannel()
        try:
            self._c.call(self._channel.start, self._c.native)
            while not self._c.settle_open():
                self._c.pending.extend(self._channel.events(self._c.poll))
            self._c.check_open()
        except BaseException:
            self._end()
            raise

    def receive(self, timeout: Optional[float] = None) -> Message:
        """The next message; a CloseMessage once the connection has ended
        (every time after). Raises the failure of a broken connection, or
        TimeoutException when `timeout` seconds pass without a message."""
        deadline = self._deadline(timeout)
        c = self._c
        try:
            while True:
                message = c.take()
                if message is not None:
                    return message
                events = c.poll() if self._channel is not None else []
                if events:
                    c.pending.extend(events)
                    continue
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    raise self._timed_out(timeout)
                self._connected_channel().wait(remaining)
        finally:
            if c.finished:
                self._end()

    def receive_text(self, timeout: Optional[float] = None) -> str:
        text: str = self._c.receive_type(self.receive(timeout), TextMessage)
        return text

    def receive_bytes(self, timeout: Optional[float] = None) -> bytes:
        data: bytes = self._c.receive_type(self.receive(timeout), BinaryMessage)
        return data

    def __iter__(self) -> Iterator[Union[TextMessage, BinaryMessage]]:
        """Incoming messages until the connection closes."""
        while True:
            message = self.receive()
            if isinstance(message, CloseMessage):
                return
            yield message

    def send_text(self, text: str) -> None:
        self._c.call(self._c.native.send_text, _text(text))

    def send_bytes(self, data: bytes) -> None:
        self._c.call(self._c.native.send_bytes, _data(data))

    def send(self, data: Union[str, bytes]) -> None:
        self.send_text(data) if isinstance(data, str) else self.send_bytes(data)

    def ping(self, data: bytes = b"") -> None:
        """Sends a ping (the pong is answered in the Core, not shown here)."""
        self._c.ping(data)

    def close(self, code: int = 1000, reason: str = "",
              timeout: Optional[float] = CLOSE_TIMEOUT) -> CloseMessage:
        """Starts the closing handshake and waits for its end (messages that
        arrive meanwhile are dropped); after `timeout` seconds the connection
        is dropped instead."""
        c = self._c
        if not c.finished:
            if not c.opened:
                self._end(cancel=True)
                return CloseMessage(code, reason)
            _checks.close_frame(code, reason)
            c.call(c.native.close, code, reason)
            deadline = self._deadline(timeout)
            assert self._channel is not None
            try:
                while not c.finished:
                    events = c.poll()
                    c.drop_until_end(events)
                    if c.finished or events:
                        continue
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0:
                        break
                    self._channel.wait(remaining)
            finally:
                self._end(cancel=not c.finished)
        if c.error is not None:
            raise c.error
        return c.close_message or CloseMessage(1006, "")

    def __enter__(self) -> "WebSocket":
        self.connect()
        return self

    def __exit__(self, *exc: Any) -> None:
        try:
            if not self._c.finished:
                self.close()
        except HTTPError:
            pass
        finally:
            self._end(cancel=not self._c.finished)


class AsyncWebSocket(_Endpoint):
    """``async with client.websocket(url) as ws``. Cancelling a task waiting
    in ``receive()`` leaves the connection usable and loses no message."""

    def __init__(self, native: Any, channel_factory: Callable[[], AsyncChannel],
                 url: str = "") -> None:
        super().__init__(native, url)
        self._factory = channel_factory

    async def connect(self) -> None:
        self._channel = self._factory()
        c = self._c
        try:
            c.call(self._channel.start, c.native)
            while not c.settle_open():
                c.pending.extend(await self._channel.events(c.poll))
            c.check_open()
        except BaseException:
            self._end()
            raise

    async def receive(self, timeout: Optional[float] = None) -> Message:
        """As WebSocket.receive: ReadTimeout when `timeout` seconds pass
        without a message; the connection stays usable then."""
        deadline = self._deadline(timeout)
        c = self._c
        try:
            while True:
                message = c.take()
                if message is not None:
                    return message
                events = c.poll() if self._channel is not None else []
                if events:
                    c.pending.extend(events)
                    continue
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    raise self._timed_out(timeout)
                await self._connected_channel().wait(remaining)
        finally:
            if c.finished:
                self._end()

    async def receive_text(self, timeout: Optional[float] = None) -> str:
        text: str = self._c.receive_type(await self.receive(timeout), TextMessage)
        return text

    async def receive_bytes(self, timeout: Optional[float] = None) -> bytes:
        data: bytes = self._c.receive_type(await self.receive(timeout), BinaryMessage)
        return data

    def __aiter__(self) -> AsyncIterator[Union[TextMessage, BinaryMessage]]:
        return self._messages()

    async def _messages(self) -> AsyncIterator[Union[TextMessage, BinaryMessage]]:
        while True:
            message = await self.receive()
            if isinstance(message, CloseMessage):
                return
            yield message

    async def send_text(self, text: str) -> None:
        self._c.call(self._c.native.send_text, _text(text))

    async def send_bytes(self, data: bytes) -> None:
        self._c.call(self._c.native.send_bytes, _data(data))

    async def ping(self, data: bytes = b"") -> None:
        self._c.ping(data)

    async def send(self, data: Union[str, bytes]) -> None:
        if isinstance(data, str):
            await self.send_text(data)
        else:
            await self.send_bytes(data)

    async def close(self, code: int = 1000, reason: str = "",
                    timeout: Optional[float] = CLOSE_TIMEOUT) -> CloseMessage:
        c = self._c
        if not c.finished:
            if not c.opened:
                self._end(cancel=True)
                return CloseMessage(code, reason)
            _checks.close_frame(code, reason)
            c.call(c.native.close, code, reason)
            loop = asyncio.get_running_loop()
            deadline = None if timeout is None else loop.time() + timeout
            assert self._channel is not None
            try:
                while not c.finished:
                    remaining = None if deadline is None else max(0.0, deadline - loop.time())
                    try:
                        events = await asyncio.wait_for(self._channel.events(c.poll), remaining)
                    except asyncio.TimeoutError:
                        break
                    c.drop_until_end(events)
            finally:
                self._end(cancel=not c.finished)
        if c.error is not None:
            raise c.error
        return c.close_message or CloseMessage(1006, "")

    async def __aenter__(self) -> "AsyncWebSocket":
        await self.connect()
        return self

    async def __aexit__(self, *exc: Any) -> None:
        try:
            if not self._c.finished:
                await self.close()
        except HTTPError:
            pass
        finally:
            self._end(cancel=not self._c.finished)


def _text(text: Any) -> str:
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    _checks.utf8(text, "text")
    return text


def _data(data: Any) -> bytes:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data must be bytes, not {type(data).__name__}")
    return bytes(data)
