"""One HTTP exchange over a native request: the events it reports turned into
a response head, body chunks, redirects and errors; driven by blocking code
(SyncExchange) or by asyncio (AsyncExchange)."""

from __future__ import annotations

import asyncio
import collections
import time
from typing import Any, Deque, List, Optional, Tuple

from . import _native
from ._content import split, sync_pieces
from ._errors import HTTPError, TooManyRedirects, error_from_text, from_native
from ._models import Redirect, Request, Response
from ._wait import AsyncChannel, SyncChannel

# The Core follows at most this many redirects on its own.
CORE_MAX_REDIRECTS = 20
TOO_MANY_REDIRECTS = "Redirect (Chromium net error -310)"

# Events taken per poll while reading a body whole; a streamed body is taken
# one chunk at a time, so that the Core's flow control sees a slow reader.
WHOLE_BODY_BATCH = 64


def redirect_mode(follow: bool, max_redirects: int) -> str:
    """The Core follows by itself unless the caller wants to stop at the
    first redirect or sooner than the Core would."""
    return "follow" if follow and max_redirects >= CORE_MAX_REDIRECTS else "manual"


class _State:
    """What the events of one request have told so far."""

    def __init__(self, native_request: Any, request: Request, follow: bool,
                 max_redirects: int) -> None:
        self.native = native_request
        self.request = request
        self.manual = redirect_mode(follow, max_redirects) == "manual"
        self.follow = follow
        self.max_redirects = max_redirects
        self.url = request.url
        self.history: List[Redirect] = []
        self.head: Optional[Tuple[int, bytes]] = None
        self.stopped_at: Optional[Redirect] = None
        self.chunks: Deque[bytes] = collections.deque()
        self.done = False
        self.error: Optional[HTTPError] = None
        self.core_ended = False  # the Core reported the request's end
        self.started = time.monotonic()

    @property
    def finished(self) -> bool:
        return self.done or self.error is not None or self.stopped_at is not None

    def feed(self, events: List[_native.RequestEvent]) -> None:
        for kind, status, headers, data, message in events:
            if kind == "redirect":
                self._redirect(Redirect(self.url, status, headers, data.decode("utf-8", "replace"),
                                        message or ""))
            elif kind == "response":
                self.head = (status, headers)
            elif kind == "body":
                self.chunks.append(data)
            elif kind == "done":
                self.done = self.core_ended = True
            elif kind == "error":
                self.core_ended = True
                self.error = error_from_text(message or "", request=self.request)

    def _redirect(self, redirect: Redirect) -> None:
        if not self.manual:
            self.history.append(redirect)
            self.url = redirect.target
        elif not self.follow:
            self.stopped_at = redirect
        elif len(self.history) >= self.max_redirects:
            self.error = TooManyRedirects(TOO_MANY_REDIRECTS, kind="Redirect", net_error=-310,
                                          request=self.request)
        else:
            self.history.append(redirect)
            self.url = redirect.target
            self.native.follow_redirect()

    def head_ready(self) -> bool:
        return self.head is not None or self.finished

    def response(self, stream: Any) -> Response:
        """The response once the head is known (or the redirect not followed)."""
        if self.stopped_at is not None:
            stop = self.stopped_at
            return Response(stop.status_code, stop.raw_headers, request=self.request, url=stop.url,
                            history=self.history, started=self.started, content=b"")
        if self.head is None:
            assert self.error is not None
            raise self.error
        status, head = self.head
        return Response(status, head, request=self.request, url=self.url, history=self.history,
                        started=self.started, stream=stream)

    def next_chunk(self) -> Optional[bytes]:
        """A queued chunk, None at the end, or raises; "nothing yet" is
        told by `pending()`."""
        if self.chunks:
            return self.chunks.popleft()
        if self.error is not None:
            raise self.error
        return None

    def pending(self) -> bool:
        return not self.chunks and not self.finished

    def start(self, channel: Any) -> None:
        try:
            channel.start(self.native)
        except RuntimeError as e:
            raise from_native(e, request=self.request) from None

    def cancel(self) -> None:
        """Ends the request in the Core unless the Core ended it: a redirect
        not followed, or one over our limit, leaves it waiting."""
        if not self.core_ended:
            try:
                self.native.cancel()
            except RuntimeError:
                pass  # already ended: nothing to stop


class SyncExchange:
    def __init__(self, native_request: Any, request: Request, *, follow: bool,
                 max_redirects: int, upload: Any = None) -> None:
        self._state = _State(native_request, request, follow, max_redirects)
        self._channel = SyncChannel()
        self._upload = upload
        self._batch = 1
        self._closed = False

    def _poll(self, limit: int) -> None:
        state = self._state
        state.feed(self._channel.events(lambda: _native.poll_request(state.native, limit)))

    def send(self, stream: bool) -> Response:
        """Starts the request, sends a streamed body, waits for the head; the
        whole body too unless `stream`. Closes the exchange on every failure."""
        try:
            self._state.start(self._channel)
            if self._upload is not None:
                self._send_body()
            state = self._state
            while not state.head_ready():
                self._poll(1)
            response = state.response(self)
            if response.is_closed:  # a redirect not followed: nothing more to come
                self.close()
            elif not stream:
                self._batch = WHOLE_BODY_BATCH
                response.read()
            return response
        except BaseException:
            self.close()
            raise

    def _send_body(self) -> None:
        native = self._state.native
        for piece in sync_pieces(self._upload):
            try:
                native.upload_write(piece, False)
            except RuntimeError:
                return  # the request ended; its events tell why
        try:
            native.upload_finish()
        except RuntimeError:
            pass

    def next_chunk(self) -> Optional[bytes]:
        state = self._state
        while state.pending():
            self._poll(self._batch)
        return state.next_chunk()

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            try:
                self._state.cancel()
            finally:
                self._channel.close()


class AsyncExchange:
    def __init__(self, native_request: Any, request: Request, channel: AsyncChannel, *,
                 follow: bool, max_redirects: int, upload: Any = None) -> None:
        self._state = _State(native_request, request, follow, max_redirects)
        self._channel = channel
        self._upload = upload
        self._pump: Optional["asyncio.Future[None]"] = None
        self._batch = 1
        self._closed = False

    async def _poll(self, limit: int) -> None:
        state = self._state
        events = await self._channel.events(lambda: _native.poll_request(state.native, limit))
        state.feed(events)

    async def send(self, stream: bool) -> Response:
        try:
            self._state.start(self._channel)
            if self._upload is not None:
                self._pump = asyncio.ensure_future(self._send_body())
                # A failing body source wakes the head wait to report it.
                self._pump.add_done_callback(lambda _: self._channel.signal())
            state = self._state
            while not state.head_ready():
                self._check_pump()
                await self._poll(1)
            self._check_pump()
            response = state.response(self)
            if response.is_closed:
                await self.aclose()
            elif not stream:
                self._batch = WHOLE_BODY_BATCH
                await response.aread()
            return response
        except BaseException:
            await self.aclose()
            raise

    def _check_pump(self) -> None:
        pump = self._pump
        if pump is not None and pump.done() and not pump.cancelled() and pump.exception():
            raise pump.exception()  # type: ignore[misc]

    async def _send_body(self) -> None:
        """Writes run in a worker thread: a write waits while the Core holds
        4 MiB of the body, and the loop must go on meanwhile."""
        loop = asyncio.get_running_loop()
        native = self._state.native
        source = self._upload
        try:
            if hasattr(source, "__aiter__"):
                async for piece in source:
                    for part in split(piece):
                        await loop.run_in_executor(None, native.upload_write, part, False)
                await loop.run_in_executor(None, native.upload_finish)
            else:
                await loop.run_in_executor(None, _send_blocking, native, source)
        except RuntimeError:
            pass  # the request ended; its events tell why

    async def next_chunk(self) -> Optional[bytes]:
        state = self._state
        while state.pending():
            await self._poll(self._batch)
        return state.next_chunk()

    async def aclose(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            self._state.cancel()
        finally:
            self._channel.close()
            pump = self._pump
            if pump is not None and not pump.done():
                pump.cancel()


def _send_blocking(native: Any, source: Any) -> None:
    for piece in sync_pieces(source):
        native.upload_write(piece, False)
    native.upload_finish()

