"""One HTTP exchange over a native request: the events it reports turned into
a response head, body chunks, redirects and errors; driven by blocking code
(SyncExchange) or by asyncio (AsyncExchange)."""

from __future__ import annotations

import asyncio
import collections
import logging
import threading
import time
from typing import Any, Callable, Deque, List, Optional, Tuple

from . import _log, _native
from ._codes import CoreResult, NetError
from ._content import split, sync_pieces
from ._errors import HTTPError, ReadTimeout, WriteTimeout, core_error, error_from_text, \
    from_native
from ._models import Redirect, Request, Response
from ._timeout import Timeout
from ._wait import AsyncChannel, ChannelPool, SyncChannel

_monotonic = time.monotonic
# Asked once per exchange: the logger caches its answer by level.
_log_enabled = _log.logger.isEnabledFor
_DEBUG = logging.DEBUG

# The Core follows at most this many redirects on its own.
CORE_MAX_REDIRECTS = 20

# Whether the Core tells where a response came from.
_CACHE_STATE = _native.has_extension("cache_state")

# Events taken per poll while reading a body whole. A streamed body is taken
# one chunk at a time: the Core's flow control sees a slow reader, and each
# chunk is consumed while its memory is still in cache (taking several at
# once measured slower).
WHOLE_BODY_BATCH = 64
STREAM_BATCH = 1


def redirect_mode(follow: bool, max_redirects: int) -> str:
    """The Core follows by itself unless the caller wants to stop at the
    first redirect or sooner than the Core would."""
    return "follow" if follow and max_redirects >= CORE_MAX_REDIRECTS else "manual"


class _Clock:
    """The read bound: `seconds` from the last sign of progress."""

    __slots__ = ("seconds", "last")

    def __init__(self, seconds: Optional[float]) -> None:
        self.seconds = seconds
        self.last = time.monotonic()

    def progressed(self) -> None:
        if self.seconds is not None:
            self.last = time.monotonic()

    def remaining(self) -> Optional[float]:
        """Seconds left (<= 0 once expired), None without a bound."""
        if self.seconds is None:
            return None
        return self.last + self.seconds - time.monotonic()

    def expired(self) -> bool:
        left = self.remaining()
        return left is not None and left <= 0


class _State:
    """What the events of one request have told so far."""

    __slots__ = ("native", "request", "manual", "follow", "max_redirects", "url", "history",
                 "head", "stopped_at", "chunks", "done", "error", "core_ended", "started",
                 "finished", "expired", "cancelled")

    def __init__(self, native_request: Any, request: Request, follow: bool,
                 max_redirects: int) -> None:
        self.native = native_request
        self.request = request
        self.manual = not (follow and max_redirects >= CORE_MAX_REDIRECTS)
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
        self.started = _monotonic()
        # done, failed, or stopped at a redirect not followed
        self.finished = False
        # Our own deadline that ended the request: the failure it reports
        # is this one, not the Core's "Canceled".
        self.expired: Optional[HTTPError] = None
        self.cancelled = False  # asked the Core to end it

    def expire(self, error: HTTPError) -> HTTPError:
        """Ends the request because `error` (a timeout) happened; any thread."""
        if self.expired is None:
            self.expired = error
        self.cancel()
        return self.expired

    def read_timeout(self, seconds: Optional[float]) -> HTTPError:
        error = self.expire(ReadTimeout(f"read timed out: nothing of the response arrived "
                                        f"for {seconds:g} s", request=self.request))
        self.error, self.finished = error, True
        return error

    def take_pending(self) -> int:
        """Feeds every event pending now, a full batch at a time; a batch that
        comes back short re-armed the notification before it read. Returns
        how many were fed."""
        poll = self.native.poll_events_bytes
        events = poll(WHOLE_BODY_BATCH)
        self.feed(events)
        fed = len(events)
        while len(events) == WHOLE_BODY_BATCH and not self.finished:
            events = poll(WHOLE_BODY_BATCH)
            self.feed(events)
            fed += len(events)
        return fed

    def feed(self, events: List[_native.RequestEvent]) -> None:
        for kind, status, headers, data, message in events:
            if kind == "body":
                self.chunks.append(data)
            elif kind == "response":
                self.head = (status, headers)
            elif kind == "done":
                self.done = self.core_ended = self.finished = True
            elif kind == "redirect":
                self._redirect(Redirect(self.url, status, headers, data.decode("utf-8", "replace"),
                                        message or ""))
            elif kind == "error":
                self.core_ended = self.finished = True
                self.error = self.expired if self.expired is not None else \
                    error_from_text(message or "", request=self.request)

    def _redirect(self, redirect: Redirect) -> None:
        if not self.manual:
            self.history.append(redirect)
            self.url = redirect.target
        elif not self.follow:
            self.stopped_at = redirect
            self.finished = True
        elif len(self.history) >= self.max_redirects:
            # As the Core fails when it follows too many by itself.
            self.error = core_error(CoreResult.REDIRECT, NetError.TOO_MANY_REDIRECTS,
                                    request=self.request)
            self.finished = True
        else:
            self.history.append(redirect)
            self.url = redirect.target
            self.native.follow_redirect()

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
                        started=self.started, stream=stream, cache_state=self.cache_state())

    def whole_response(self) -> Response:
        """The response once finished, its body read whole; raises the
        request's failure."""
        if self.stopped_at is not None or self.head is None:
            return self.response(None)
        if self.error is not None:
            raise self.error
        status, head = self.head
        chunks = self.chunks
        content = chunks.popleft() if len(chunks) == 1 else b"".join(chunks)
        chunks.clear()
        return Response(status, head, request=self.request, url=self.url, history=self.history,
                        started=self.started, content=content,
                        cache_state=self.cache_state() if _CACHE_STATE else None)

    def cache_state(self) -> Optional[str]:
        """Where the Core took the response from, when it says."""
        if not _CACHE_STATE:
            return None
        report = getattr(self.native, "cache_state", None)
        if report is None:
            return None
        try:
            state: Optional[str] = report()
        except RuntimeError:
            return None
        return state

    def next_chunk(self) -> Optional[bytes]:
        """A queued chunk, None at the end, or raises; to be called once a
        chunk is queued or the request finished."""
        if self.chunks:
            return self.chunks.popleft()
        if self.error is not None:
            raise self.error
        return None

    def start(self, channel: Any) -> None:
        try:
            channel.start(self.native)
        except RuntimeError as e:
            raise from_native(e, request=self.request) from None

    def log_end(self) -> None:
        """The exchange's line in the log, once it ends."""
        if _log_enabled(_DEBUG):
            if self.error is not None:
                outcome: object = self.error
            elif self.stopped_at is not None:
                outcome = self.stopped_at.status_code
            elif self.head is not None:
                outcome = self.head[0] if self.done else f"{self.head[0]}, body left unread"
            else:
                outcome = "ended before a response"
            _log.exchange_ended(self.request.method, self.request.url, outcome, self.started)

    def cancel(self) -> None:
        """Ends the request in the Core unless the Core ended it or was asked
        to already: a redirect not followed, or one over our limit, leaves it
        waiting."""
        if not self.core_ended and not self.cancelled:
            self.cancelled = True
            try:
                self.native.cancel()
            except RuntimeError:
                pass  # already ended: nothing to stop


class SyncExchange:
    """`pool`: the client's idle channels, one borrowed for the exchange;
    without it the exchange has a channel of its own."""

    __slots__ = ("_state", "_channel", "_pool", "_upload", "_closed", "_timeout")

    def __init__(self, native_request: Any, request: Request, *, follow: bool,
                 max_redirects: int, timeout: Timeout, upload: Any = None,
                 pool: Optional[ChannelPool] = None) -> None:
        self._state = _State(native_request, request, follow, max_redirects)
        self._timeout = timeout
        self._pool = pool
        self._channel = SyncChannel() if pool is None else pool.acquire()
        self._upload = upload
        self._closed = False

    def _poll(self, limit: int, clock: _Clock) -> None:
        """Feeds the next events, waiting for some if there are none yet;
        raises ReadTimeout once `clock` expires."""
        state = self._state
        poll = state.native.poll_events_bytes
        while True:
            events = poll(limit)
            if events:
                state.feed(events)
                clock.progressed()
                return
            remaining = clock.remaining()
            if remaining is not None and remaining <= 0:
                raise state.read_timeout(clock.seconds)
            self._channel.wait(remaining)

    def send(self, stream: bool) -> Response:
        """Starts the request, sends a streamed body, waits for the head; the
        whole body too unless `stream`. Closes the exchange on every failure."""
        state = self._state
        try:
            try:
                self._channel.start(state.native)
            except RuntimeError as e:
                raise from_native(e, request=state.request) from None
            if self._upload is not None:
                _upload_blocking(state, self._upload, self._timeout.write)
            if not stream:
                # Head, body and end often come in one batch: take them all.
                # A poll that leaves nothing behind re-arms the notification,
                # so the next news wakes the wait; so does any since the start.
                # The read bound is kept inline (as _Clock keeps it): this
                # loop runs for every request.
                wait = self._channel.wait
                take_pending = state.take_pending
                seconds = self._timeout.read
                if seconds is None:
                    while not state.finished:
                        wait(None)
                        take_pending()
                else:
                    last = _monotonic()
                    remaining: float = seconds
                    while True:
                        wait(remaining)
                        if take_pending():
                            last = _monotonic()
                        if state.finished:
                            break
                        remaining = last + seconds - _monotonic()
                        if remaining <= 0:
                            raise state.read_timeout(seconds)
                response = state.whole_response()
                self.close()
                return response
            clock = _Clock(self._timeout.read)
            while state.head is None and not state.finished:
                self._poll(1, clock)
            response = state.response(self)
            if response.is_closed:  # a redirect not followed: nothing more to come
                self.close()
            return response
        except BaseException:
            self.close()
            raise

    def next_chunk(self) -> Optional[bytes]:
        state = self._state
        chunks = state.chunks
        if chunks:
            return chunks.popleft()
        clock = _Clock(self._timeout.read)
        while not chunks and not state.finished:
            self._poll(STREAM_BATCH, clock)
        return state.next_chunk()

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            state = self._state
            if _log_enabled(_DEBUG):
                state.log_end()
            try:
                if not state.core_ended:
                    state.cancel()
            finally:
                pool = self._pool
                if pool is not None:
                    # A terminal event polled ended the waker registration.
                    pool.release(self._channel, not state.core_ended)
                else:
                    self._channel.close()


class AsyncExchange:
    __slots__ = ("_state", "_channel", "_upload", "_pump", "_closed", "_timeout")

    def __init__(self, native_request: Any, request: Request, channel: AsyncChannel, *,
                 follow: bool, max_redirects: int, timeout: Timeout, upload: Any = None) -> None:
        self._state = _State(native_request, request, follow, max_redirects)
        self._timeout = timeout
        self._channel = channel
        self._upload = upload
        self._pump: Optional["asyncio.Future[None]"] = None
        self._closed = False

    async def send(self, stream: bool) -> Response:
        state = self._state
        try:
            state.start(self._channel)
            if self._upload is not None:
                self._pump = asyncio.ensure_future(self._send_body())
                # A failing body source wakes the head wait to report it.
                self._pump.add_done_callback(lambda _: self._channel.signal())
            elif not stream:
                # Head, body and end often come in one batch: take them all.
                # As in SyncExchange.send.
                wait = self._channel.wait
                take_pending = state.take_pending
                seconds = self._timeout.read
                if seconds is None:
                    while not state.finished:
                        await wait(None)
                        take_pending()
                else:
                    last = _monotonic()
                    remaining: float = seconds
                    while True:
                        await wait(remaining)
                        if take_pending():
                            last = _monotonic()
                        if state.finished:
                            break
                        remaining = last + seconds - _monotonic()
                        if remaining <= 0:
                            raise state.read_timeout(seconds)
                response = state.whole_response()
                self._close()
                return response
            # A failing body source signals the channel: each wake-up comes
            # back here to look at the pump, not only the Core's news.
            await self._next_events(1, lambda: state.head is not None or state.finished)
            self._check_pump()
            response = state.response(self)
            if response.is_closed:
                await self.aclose()
            elif not stream:
                await response.aread()
            return response
        except BaseException:
            await self.aclose()
            raise

    async def _next_events(self, limit: int, enough: Callable[[], bool]) -> None:
        """Feeds events until `enough()`; raises ReadTimeout when nothing
        arrives within the read bound, which runs once the body is sent."""
        state = self._state
        clock = _Clock(self._timeout.read)
        events_or_signal = self._channel.events_or_signal
        poll = state.native.poll_events_bytes
        while not enough():
            self._check_pump()
            events = await events_or_signal(poll, limit, timeout=clock.remaining())
            pump = self._pump
            if events:
                state.feed(events)
                clock.progressed()
            elif pump is not None and not pump.done():
                clock.progressed()  # the body is still going out: `write` bounds that
            elif clock.expired():
                raise state.read_timeout(clock.seconds)

    def _check_pump(self) -> None:
        pump = self._pump
        if pump is not None and pump.done() and not pump.cancelled() and pump.exception():
            raise pump.exception()  # type: ignore[misc]

    async def _send_body(self) -> None:
        """Writes run in a worker thread: a write waits while the Core holds
        4 MiB of the body, and the loop must go on meanwhile."""
        loop = asyncio.get_running_loop()
        state = self._state
        source = self._upload
        if not hasattr(source, "__aiter__"):
            await loop.run_in_executor(None, _upload_blocking, state, source,
                                       self._timeout.write)
            return
        # What the source raises is the caller's error, a RuntimeError too;
        # only the native writes' failures mean that the request has ended.
        watch = _WriteWatch(state, self._timeout.write)
        try:
            async for piece in source:
                for part in split(piece):
                    if not await loop.run_in_executor(None, watch.call, _write, part):
                        return
            await loop.run_in_executor(None, watch.call, _finish, None)
        finally:
            watch.stop()

    async def next_chunk(self) -> Optional[bytes]:
        state = self._state
        chunks = state.chunks
        if chunks:
            return chunks.popleft()
        if not state.finished:
            await self._next_events(STREAM_BATCH, lambda: bool(chunks) or state.finished)
        return state.next_chunk()

    async def aclose(self) -> None:
        self._close()

    def _close(self) -> None:
        if self._closed:
            return
        self._closed = True
        state = self._state
        state.log_end()
        try:
            state.cancel()
        finally:
            # A terminal event polled ended the waker registration.
            self._channel.close(registered=not state.core_ended)
            pump = self._pump
            if pump is not None and not pump.done():
                pump.cancel()


def _write(native: Any, piece: bytes) -> bool:
    """False when the request has ended: its events tell why."""
    try:
        native.upload_write(piece, False)
    except RuntimeError:
        return False
    return True


def _finish(native: Any, _: Any = None) -> bool:
    try:
        native.upload_finish()
    except RuntimeError:
        return False  # the request has ended: its events tell why
    return True


class _WriteWatch:
    """Bounds each wait for room to send the next piece of a body: a write
    that has not returned `seconds` after it began ends the request with
    WriteTimeout. The writes block in the Core (with the interpreter lock
    released) while it holds as much of the body as it takes, so the bound is
    kept by a thread of the watch's own, started on the first write."""

    def __init__(self, state: _State, seconds: Optional[float]) -> None:
        self._state = state
        self._seconds = seconds
        self._changed = threading.Condition()
        self._deadline: Optional[float] = None
        self._stopped = False
        self._thread: Optional[threading.Thread] = None

    def call(self, write: Callable[[Any, Any], bool], piece: Any) -> bool:
        """`write(native, piece)` within the bound; raises WriteTimeout."""
        state = self._state
        if self._seconds is None:
            return write(state.native, piece)
        with self._changed:
            self._deadline = time.monotonic() + self._seconds
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, daemon=True,
                                                name="strandel-write-timeout")
                self._thread.start()
            self._changed.notify()
        try:
            ok = write(state.native, piece)
        finally:
            with self._changed:
                self._deadline = None
        if isinstance(state.expired, WriteTimeout):
            raise state.expired
        return ok

    def stop(self) -> None:
        with self._changed:
            self._stopped = True
            self._changed.notify()

    def _run(self) -> None:
        fire = False
        with self._changed:
            while not self._stopped:
                deadline = self._deadline
                if deadline is None:
                    self._changed.wait()
                    continue
                remaining = deadline - time.monotonic()
                if remaining > 0:
                    self._changed.wait(remaining)
                    continue
                fire = self._stopped = True
        if fire:
            self._state.expire(WriteTimeout(
                f"write timed out: the server took none of the request body for "
                f"{self._seconds:g} s", request=self._state.request))


def _upload_blocking(state: _State, source: Any, write_timeout: Optional[float]) -> None:
    """Sends a blocking source's pieces and ends the body. An error of the
    source propagates before the body is ended, so the server never sees a
    complete body."""
    watch = _WriteWatch(state, write_timeout)
    try:
        for piece in sync_pieces(source):
            if not watch.call(_write, piece):
                return
        watch.call(_finish, None)
    finally:
        watch.stop()

