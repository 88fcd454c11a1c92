"""The package's waits: bounded waits on an event loop share one timer per
dispatcher, yet each ends at its own bound, never sooner, and nothing stays
behind; a whole body is read whole, blocking and on a loop, with a read bound
and without."""

import asyncio

import pytest

from strandel_package import strandel
from strandel import _wait
from fake_requests import FakeRequest, tidy_requests  # noqa: F401

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
                # Absolute times: start + bound <= now need not mean now - start >= bound
                # in floating point.
                waiter.add_done_callback(lambda _, i=i: ended.append((i, loop.time())))
                dispatcher.bound(waiter, start + bound)
                waiters.append(waiter)
            await asyncio.wait_for(asyncio.gather(*waiters), 10)
            assert not answered.done()
            assert [i for i, _ in ended] == sorted(range(len(bounds)), key=lambda i: bounds[i])
            assert all(at >= start + bounds[i] for i, at in ended), (start, ended)
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
                return str(info.value), start, loop.time()

            ended = await asyncio.wait_for(asyncio.gather(*(one(bound) for bound in bounds)), 10)
            [dispatcher] = client._dispatchers.values()
            assert dispatcher._bounded == {} and dispatcher._channels == {}
        return ended

    for bound, (message, start, end) in zip(bounds, asyncio.run(main())):
        assert message == f"read timed out: nothing of the response arrived for {bound:g} s"
        assert end >= start + bound


class _Scripted:
    """An engine whose requests answer as `script` tells, from their start."""

    def __init__(self, engine, script):
        self._engine, self._script = engine, script

    def request(self, *args, **kwargs):
        native = self._engine.request(*args, **kwargs)
        self._script(FakeRequest.last())
        return native


# More pieces than one poll takes, so that the whole-body loop goes round.
PIECES = [bytes([i]) * 3 for i in range(150)]


def _answer(core):
    core.response(200, b"HTTP/1.1 200 OK\r\nX: y\r\n\r\n", when="hv_request_start")
    for piece in PIECES:
        core.body(piece, when="hv_request_start")
    core.complete(when="hv_request_start")


@pytest.mark.parametrize("flavour", ["blocking", "async"])
@pytest.mark.parametrize("timeout", [None, 5.0, strandel.Timeout(30, read=None)])
def test_a_whole_body_arrives_with_and_without_a_read_bound(flavour, timeout):
    def check(client, response):
        assert (response.status_code, response.headers["x"]) == (200, "y")
        assert response.content == b"".join(PIECES) and response.history == []
        assert response.elapsed.total_seconds() >= 0

    if flavour == "async":
        async def main():
            async with strandel.AsyncClient(timeout=timeout) as client:
                client._engine = _Scripted(client._engine, _answer)
                check(client, await client.get(URL))
                [dispatcher] = client._dispatchers.values()
                assert dispatcher._bounded == {} and dispatcher._channels == {}
        asyncio.run(main())
    else:
        with strandel.Client(timeout=timeout) as client:
            client._engine = _Scripted(client._engine, _answer)
            check(client, client.get(URL))
            check(client, client.get(URL))  # on the channel the first one gave back
