"""One LoopWaker driving many requests and WebSockets from an asyncio loop
that watches its descriptor: every exchange completes, none waits for a
wake-up that never comes."""

import asyncio
import os


class Driver:
    """Routes the waker's news to a handler per object."""

    def __init__(self, native, loop):
        self.loop = loop
        self.waker = native.LoopWaker()
        self.handlers = {}
        loop.add_reader(self.waker.fileno(), self._ready)

    def _ready(self):
        for obj in self.waker.drain():
            self.handlers[obj](obj)

    def watch(self, obj, sink):
        """Feeds every event of `obj` to `sink`, a batch at a time."""
        def on_news(o):
            while True:
                events = o.poll_events_bytes()
                for event in events:
                    sink(event)
                if len(events) < 64:  # a full batch may leave more behind
                    break
        self.handlers[obj] = on_news

    def close(self):
        self.loop.remove_reader(self.waker.fileno())
        self.waker.close()


async def fetch(driver, engine, url):
    request = engine.request("GET", url)
    done = driver.loop.create_future()
    state = {"status": None, "body": bytearray()}

    def sink(event):
        kind, status, _headers, data, message = event
        if kind == "response":
            state["status"] = status
        elif kind == "body":
            state["body"] += data
        elif kind == "done":
            done.set_result((state["status"], bytes(state["body"])))
        elif kind == "error":
            done.set_exception(RuntimeError(message))

    driver.watch(request, sink)
    request.start_waker(driver.waker)
    return await done


def run_with_driver(native, body):
    async def main():
        driver = Driver(native, asyncio.get_running_loop())
        try:
            return await asyncio.wait_for(body(driver), 120)
        finally:
            driver.close()

    return asyncio.run(main())


def test_500_concurrent_requests(native, nginx):
    engine = native.PyEngine()
    url = nginx.url("http1", "/small.bin")

    async def body(driver):
        return await asyncio.gather(*(fetch(driver, engine, url) for _ in range(500)))

    results = run_with_driver(native, body)
    assert len(results) == 500
    assert all(result == (200, nginx.small) for result in results)


async def echo(driver, engine, url, i):
    ws = engine.websocket(url)
    queue = asyncio.Queue()
    driver.watch(ws, queue.put_nowait)
    ws.start_waker(driver.waker)
    assert (await queue.get())[0] == "open"
    payload = os.urandom(3000)
    ws.send_bytes(payload)
    ws.send_text(f"hello {i}")
    assert await queue.get() == ("binary", payload, None, None)
    assert await queue.get() == ("text", f"hello {i}".encode(), None, None)
    ws.close(1000, "")  # the closing events are still announced
    kinds = []
    while not kinds or kinds[-1] not in ("closed", "error"):
        kinds.append((await queue.get())[0])
    return kinds[-1]


def test_100_concurrent_websockets(native, ws_server):
    engine = native.PyEngine()

    async def body(driver):
        return await asyncio.gather(
            *(echo(driver, engine, ws_server.url(f"/echo?waker={i}"), i) for i in range(100)))

    results = run_with_driver(native, body)
    assert results == ["closed"] * 100
