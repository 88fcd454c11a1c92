"""Waiting for a native request or WebSocket to have news.

Every object is started with a waker (a file descriptor that turns readable
when an attached object has events). A consumer polls the object; only when a
poll comes back empty does it wait for the waker, and a poll re-arms the
object's notification before it reads, so no event goes unannounced.

Blocking code gives each object a waker of its own and waits on its
descriptor with ``poll(2)``, which a signal interrupts: Ctrl-C ends the wait.
Asyncio code shares one waker per event loop, watched with ``add_reader``
(the only loop feature used, so uvloop works too)."""

from __future__ import annotations

import asyncio
import select
from typing import Any, Callable, Dict, List, Optional, TypeVar

from . import _native

T = TypeVar("T")


class SyncChannel:
    def __init__(self) -> None:
        self._waker = _native.new_waker()
        self._poller = select.poll()
        self._poller.register(self._waker.fileno(), select.POLLIN)
        self._obj: Any = None

    def start(self, obj: Any) -> None:
        self._obj = obj
        _native.start_with_waker(obj, self._waker)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the waker fires (True) or `timeout` seconds pass."""
        ready = self._poller.poll(None if timeout is None else max(0, int(timeout * 1000)))
        if ready:
            self._waker.drain()
        return bool(ready)

    def events(self, poll: Callable[[], List[T]]) -> List[T]:
        """The next events, waiting for them if there are none yet."""
        while True:
            events = poll()
            if events:
                return events
            self.wait()

    def close(self) -> None:
        if self._waker is None:
            return
        try:
            if self._obj is not None:
                _native.release(self._obj, self._waker)
        finally:
            self._poller.unregister(self._waker.fileno())
            self._waker.close()
            self._waker = None
            self._obj = None


class Dispatcher:
    """One waker for every object of a client on one event loop; its reader
    wakes the channel of each object that has news."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.waker = _native.new_waker()
        self._channels: Dict[int, "AsyncChannel"] = {}
        loop.add_reader(self.waker.fileno(), self._on_readable)

    def _on_readable(self) -> None:
        for obj in self.waker.drain():
            channel = self._channels.get(id(obj))
            if channel is not None and channel.obj is obj:
                channel.signal()

    def channel(self) -> "AsyncChannel":
        return AsyncChannel(self)

    def close(self) -> None:
        if self.waker is None:
            return
        if not self.loop.is_closed():
            self.loop.remove_reader(self.waker.fileno())
        for channel in list(self._channels.values()):
            channel.close()
        self.waker.close()
        self.waker = None


class AsyncChannel:
    def __init__(self, dispatcher: Dispatcher) -> None:
        self._dispatcher = dispatcher
        self.obj: Any = None
        self._news = False
        self._waiter: Optional["asyncio.Future[None]"] = None

    def start(self, obj: Any) -> None:
        self.obj = obj
        self._dispatcher._channels[id(obj)] = self
        try:
            _native.start_with_waker(obj, self._dispatcher.waker)
        except BaseException:
            self.close()
            raise

    def signal(self) -> None:
        self._news = True
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def wait(self) -> None:
        if not self._news:
            self._waiter = self._dispatcher.loop.create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        self._news = False

    async def events(self, poll: Callable[[], List[T]]) -> List[T]:
        while True:
            self._news = False
            events = poll()
            if events:
                return events
            await self.wait()

    def close(self) -> None:
        obj, self.obj = self.obj, None
        if obj is None:
            return
        if self._dispatcher._channels.get(id(obj)) is self:
            del self._dispatcher._channels[id(obj)]
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.cancel()
        if self._dispatcher.waker is not None:
            _native.release(obj, self._dispatcher.waker)


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
