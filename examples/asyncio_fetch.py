"""Fetching over HTTP from asyncio with the low-level polling API.

`fetch` wraps one request in an awaitable: the request announces news through
the loop's call_soon_threadsafe, and each announcement drains the pending
events with poll_events(). Run: python examples/asyncio_fetch.py URL [URL...]
"""

import asyncio
import sys

import strandel_native36 as native


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body


async def fetch(engine, url, method="GET", **options):
    """Resolves to a Response, or raises RuntimeError with the Core's error."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    request = engine.request(method, url, **options)
    head = {}
    chunks = []

    def on_news():
        # A full batch may leave events queued: poll until a batch is short.
        while True:
            events = request.poll_events()
            for kind, status, headers, data, message in events:
                if kind == "response":
                    head.update(status=status, headers=bytes(headers))
                elif kind == "body":
                    chunks.append(bytes(data))
                elif kind == "done" and not done.done():
                    done.set_result(Response(head["status"], head["headers"], b"".join(chunks)))
                elif kind == "error" and not done.done():
                    done.set_exception(RuntimeError(message))
            if len(events) < 64:
                return

    request.start_async(loop, on_news)
    try:
        return await done
    finally:
        # Nothing more to announce, whatever happened (cancellation included).
        request.detach_callback()


async def main(urls):
    engine = native.PyEngine()
    results = await asyncio.gather(*(fetch(engine, u) for u in urls), return_exceptions=True)
    for url, result in zip(urls, results):
        if isinstance(result, Exception):
            print(f"{url}: failed: {result}")
        else:
            print(f"{url}: {result.status}, {len(result.body)} bytes")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:] or ["http://127.0.0.1:8080/"]))
