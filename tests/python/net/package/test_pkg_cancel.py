"""Ending calls early: a cancelled asyncio task ends its request and leaves
no thread, descriptor or waiter behind; Ctrl-C ends a blocking call."""

import asyncio
import os
import signal
import threading
import time

import pytest



def process_counts():
    """(threads, open file descriptors) of this process."""
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


async def settled(before, timeout=10.0):
    """The process counts once they are back to `before` (or the deadline)."""
    deadline = time.monotonic() + timeout
    while (now := process_counts()) > before and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    return now


async def until(event):
    while not event.is_set():
        await asyncio.sleep(0.005)


def test_cancelled_tasks_end_their_requests(strandel, app, canned, run):
    async def main():
        async with strandel.AsyncClient() as client:
            await client.get(app.url("/echo"))  # the Core's threads, the loop's waker
            before = process_counts()
            for _ in range(10):
                first = asyncio.Event()

                async def read_slowly():
                    async with client.stream("GET", app.url("/stall")) as r:
                        async for _ in r.aiter_bytes():
                            first.set()

                task = asyncio.ensure_future(read_slowly())
                await first.wait()  # mid-body
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task

                canned.reset("/hold")
                task = asyncio.ensure_future(client.get(canned.url("/hold")))
                await until(canned.arrived["/hold"])  # waiting for the head
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                await until(canned.left["/hold"])
            [dispatcher] = client._dispatchers.values()
            assert dispatcher._channels == {}
            return before, await settled(before)

    before, after = run(main())
    assert after <= before, f"(threads, descriptors) {before} before, {after} after"


def test_ctrl_c_ends_a_blocking_call(strandel, canned):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")
    canned.reset("/hold")

    def interrupt():
        if canned.arrived["/hold"].wait(10):
            os.kill(os.getpid(), signal.SIGINT)

    # A shell runs background jobs with SIGINT ignored, and Python then
    # installs no handler of its own: put the interpreter's default back.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    thread = threading.Thread(target=interrupt)
    thread.start()
    try:
        with strandel.Client() as client, pytest.raises(KeyboardInterrupt):
            client.get(canned.url("/hold"))
    finally:
        thread.join()
        signal.signal(signal.SIGINT, previous)
    assert canned.left["/hold"].wait(10), "the request was not ended"
