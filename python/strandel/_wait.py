"""Waiting for a native request or WebSocket to have news.

Every object is started with a waker (a file descriptor that turns readable
when an attached object has events). A consumer polls the object and waits
for the waker only once a poll has taken every queued event (it came back
empty, or short of its limit); a poll re-arms the object's notification
before it reads, so no event goes unannounced. News since the start wakes a
wait too, so a consumer may wait before its first poll.

Blocking code gives each object a waker to itself, borrowed from its
client's pool, and waits on its descriptor with ``poll(2)``, which a signal
interrupts: Ctrl-C ends the wait.
Asyncio code shares one waker per event loop, watched with ``add_reader``
(the only loop feature used, so uvloop works too)."""

from __future__ import annotations

import asyncio
import math
import select
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar

from . import _native

T = TypeVar("T")
_ceil = math.ceil


class SyncChannel:
    """A waker of its own and a ``poll(2)`` set watching it, serving one
    object at a time; kept for the next object once the last one is done
    with it (see ChannelPool)."""

    __slots__ = ("_waker", "_poller", "_poll", "_obj")

    def __init__(self) -> None:
        self._waker = _native.new_waker()
        self._poller = select.poll()
        self._poller.register(self._waker.fileno(), select.POLLIN)
        self._poll = self._poller.poll
        self._obj: Any = None

    def start(self, obj: Any) -> None:
        self._obj = obj
        obj.start_waker(self._waker)  # as _native.start_with_waker

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the waker fires (True) or `timeout` seconds pass. A
        wake may be stale (news of an object served before): callers poll
        and wait again when a poll comes back empty."""
        if timeout is None:
            ready = self._poll(None)
        else:
            ready = self._poll(_ceil(timeout * 1000) if timeout > 0 else 0)
        if ready:
            self._waker.drain()
            return True
        return False

    def events(self, poll: Callable[[], List[T]]) -> List[T]:
        """The next events, waiting for them if there are none yet."""
        while True:
            events = poll()
            if events:
                return events
            self.wait()

    def detach(self, registered: bool = True) -> None:
        """Ends the interest in the current object; the waker stays for the
        next one. `registered` False: the object's terminal event has been
        polled, which ended its registration already."""
        obj = self._obj
        if obj is not None:
            self._obj = None
            if registered:
                _native.release(obj, self._waker)

    def close(self) -> None:
        if self._waker is None:
            return
        try:
            self.detach()
        finally:
            self._poller.unregister(self._waker.fileno())
            self._waker.close()
            self._waker = None


class ChannelPool:
    """Idle SyncChannels of one client: a blocking request borrows one
    instead of making a waker of its own. Any thread may borrow; a channel
    serves one request at a time (list pop/append are atomic)."""

    __slots__ = ("_idle", "closed")

    def __init__(self) -> None:
        self._idle: List[SyncChannel] = []
        self.closed = False

    def acquire(self) -> SyncChannel:
        try:
            return self._idle.pop()
        except IndexError:
            return SyncChannel()

    def release(self, channel: SyncChannel, registered: bool = True) -> None:
        """Takes the channel back once its object is let go; closes it
        instead when that fails or the pool is closed."""
        try:
            channel.detach(registered)
        except BaseException:
            channel.close()
            raise
        self._idle.append(channel)
        if self.closed:  # also when the pool closed meanwhile, in another thread
            self.close()

    def close(self) -> None:
        self.closed = True
        while self._idle:
            try:
                self._idle.pop().close()
            except IndexError:
                break


class Dispatcher:
    """One waker for every object of a client on one event loop; its reader
    wakes the channel of each object that has news."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.waker = _native.new_waker()
        self._channels: Dict[int, "AsyncChannel"] = {}
        # The waits with a bound (their waiters, by deadline in loop time),
        # and one timer for them all, set for the soonest or earlier: a timer
        # of each wait's own is a heap entry pushed and cancelled per request.
        self._bounded: Dict["asyncio.Future[None]", float] = {}
        self._timer: Optional[asyncio.TimerHandle] = None
        self._timer_at = 0.0
        loop.add_reader(self.waker.fileno(), self._on_readable)

    def _on_readable(self) -> None:
        for obj in self.waker.drain():
            channel = self._channels.get(id(obj))
            if channel is not None and channel.obj is obj:
                channel.signal()

    def channel(self) -> "AsyncChannel":
        return AsyncChannel(self)

    def bound(self, waiter: "asyncio.Future[None]", deadline: float) -> None:
        """Settles `waiter` at `deadline` unless `unbound` first."""
        self._bounded[waiter] = deadline
        timer = self._timer
        if timer is None or deadline < self._timer_at:
            if timer is not None:
                timer.cancel()
            self._timer_at = deadline
            self._timer = self.loop.call_at(deadline, self._expire)

    def unbound(self, waiter: "asyncio.Future[None]") -> None:
        self._bounded.pop(waiter, None)

    def _expire(self) -> None:
        """Settles the waits whose time is up; the timer goes on for the
        soonest of the others (none once every wait got its news first)."""
        self._timer = None
        now = self.loop.time()
        bounded = self._bounded
        soonest: Optional[float] = None
        due: List[Tuple[float, "asyncio.Future[None]"]] = []
        for waiter, deadline in bounded.items():
            if deadline <= now:
                due.append((deadline, waiter))
            elif soonest is None or deadline < soonest:
                soonest = deadline
        # A late turn of the loop finds several due: the earliest goes first.
        due.sort(key=_first)
        for _, waiter in due:
            del bounded[waiter]
            _settle(waiter)
        if soonest is not None and self._timer is None:
            self._timer_at = soonest
            self._timer = self.loop.call_at(soonest, self._expire)

    def close(self) -> None:
        if self.waker is None:
            return
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self._bounded.clear()
        if not self.loop.is_closed():
            self.loop.remove_reader(self.waker.fileno())
        for channel in list(self._channels.values()):
            channel.close()
        self.waker.close()
        self.waker = None


class AsyncChannel:
    __slots__ = ("_dispatcher", "obj", "_news", "_waiter")

    def __init__(self, dispatcher: Dispatcher) -> None:
        self._dispatcher = dispatcher
        self.obj: Any = None
        self._news = False
        self._waiter: Optional["asyncio.Future[None]"] = None

    def start(self, obj: Any) -> None:
        self.obj = obj
        self._dispatcher._channels[id(obj)] = self
        try:
            obj.start_waker(self._dispatcher.waker)  # as _native.start_with_waker
        except BaseException:
            self.close()
            raise

    def signal(self) -> None:
        self._news = True
        waiter = self._waiter
        if waiter is not None:
            self._waiter = None
            if not waiter.done():
                waiter.set_result(None)

    def next_news(self) -> "asyncio.Future[None]":
        """A future that the next news sets. Only for awaiting right after a
        poll that took every queued event (no await in between): news from
        before that poll is in what it took."""
        self._news = False
        waiter = self._waiter = self._dispatcher.loop.create_future()
        return waiter

    async def wait(self, timeout: Optional[float] = None) -> bool:
        """Returns at once if news came since the last poll, else at the next
        (True), or once `timeout` seconds passed without news (False)."""
        if not self._news:
            waiter = self.next_news()
            if timeout is None:
                await waiter
            else:
                dispatcher = self._dispatcher
                dispatcher.bound(waiter, dispatcher.loop.time() + max(0.0, timeout))
                try:
                    await waiter
                finally:
                    dispatcher.unbound(waiter)
        news, self._news = self._news, False
        return news

    async def events(self, poll: Callable[..., List[T]], *args: Any) -> List[T]:
        """The next events of ``poll(*args)``, waiting for them if there are
        none yet."""
        while True:
            events = await self.events_or_signal(poll, *args)
            if events:
                return events

    async def events_or_signal(self, poll: Callable[..., List[T]], *args: Any,
                               timeout: Optional[float] = None) -> List[T]:
        """The events of ``poll(*args)``; if there are none, waits for the next
        news (at most `timeout` seconds) and returns nothing, so that a
        `signal` from our own side (not the Core's) reaches the caller too."""
        self._news = False
        events = poll(*args)
        if not events:
            await self.wait(timeout)
        return events

    def close(self, registered: bool = True) -> None:
        """`registered` False: the object's terminal event has been polled,
        which ended its waker registration already."""
        obj, self.obj = self.obj, None
        if obj is None:
            return
        channels = self._dispatcher._channels
        if channels.get(id(obj)) is self:
            del channels[id(obj)]
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.cancel()
        if registered and self._dispatcher.waker is not None:
            _native.release(obj, self._dispatcher.waker)


def _first(item: Tuple[float, Any]) -> float:
    return item[0]


def _settle(waiter: "asyncio.Future[None]") -> None:
    if not waiter.done():
        waiter.set_result(None)


def running_dispatcher(dispatchers: Dict[int, Dispatcher]) -> Dispatcher:
    """The dispatcher of the running loop, made on first use; those of loops
    that have been closed meanwhile are let go."""
    loop = asyncio.get_running_loop()
    dispatcher = dispatchers.get(id(loop))
    if dispatcher is not None and dispatcher.loop is loop:
        return dispatcher
    for key, old in list(dispatchers.items()):
        if old.loop.is_closed() or key == id(loop):
            old.close()
            del dispatchers[key]
    dispatcher = dispatchers[id(loop)] = Dispatcher(loop)
    return dispatcher
