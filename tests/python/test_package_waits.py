"""Bounded waits on an event loop share one timer per dispatcher: each wait
still ends at its own bound, never sooner, and nothing stays behind."""

import asyncio

import pytest

from strandel_package import strandel
from strandel import _wait

URL = "http://127.0.0.1/"


def _loops():
    loops = [asyncio.new_event_loop]
    try:
        import uvloop
        loops.append(uvloop.new_event_loop)
    except ImportError:
        pass
    return loops


@pytest.mark.parametrize("new_loop", _loops())
@pytest.mark.parametrize("bounds", [
    [0.03, 0.01, 0.02],  # a sooner bound after a later one moves the timer forward
    [0.01, 0.02, 0.03],  # later bounds wait on the timer already set
    [0.02, 0.02],        # equal bounds end together
    [0.0],
])
def test_each_wait_ends_at_its_own_bound(new_loop, bounds):
    async def main():
        loop = asyncio.get_running_loop()
        dispatcher = _wait.Dispatcher(loop)
        try:
            start = loop.time()
            # A wait that got its news first leaves a timer set for nothing.
            answered = loop.create_future()
            dispatcher.bound(answered, start)
            dispatcher.unbound(answered)
            ended = []
            waiters = []
            for i, bound in enumerate(bounds):
                waiter = loop.create_future()
                waiter.add_done_callback(lambda _, i=i: ended.append((i, loop.time() - start)))
                dispatcher.bound(waiter, start + bound)
                waiters.append(waiter)
            await asyncio.wait_for(asyncio.gather(*waiters), 10)
            assert not answered.done()
            assert [i for i, _ in ended] == sorted(range(len(bounds)), key=lambda i: bounds[i])
            assert all(elapsed >= bounds[i] for i, elapsed in ended), ended
            assert dispatcher._bounded == {}
        finally:
            dispatcher.close()
        assert dispatcher._timer is None

    loop = new_loop()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


def test_requests_on_one_loop_time_out_each_by_its_own_read_bound(fake):
    """The stand-in never answers: every request ends in its own ReadTimeout."""
    bounds = [0.15, 0.05, 0.1]

    async def main():
        loop = asyncio.get_running_loop()
        async with strandel.AsyncClient() as client:
            async def one(bound):
                start = loop.time()
                with pytest.raises(strandel.ReadTimeout) as info:
                    await client.get(URL, timeout=strandel.Timeout(30, read=bound))
                return str(info.value), loop.time() - start

            ended = await asyncio.wait_for(asyncio.gather(*(one(bound) for bound in bounds)), 10)
            [dispatcher] = client._dispatchers.values()
            assert dispatcher._bounded == {} and dispatcher._channels == {}
        return ended

    for bound, (message, elapsed) in zip(bounds, asyncio.run(main())):
        assert message == f"read timed out: nothing of the response arrived for {bound:g} s"
        assert elapsed >= bound
