"""Many requests on one engine driven from an asyncio loop."""

import asyncio

import pytest


async def fetch(engine, url):
    loop = asyncio.get_running_loop()
    request = engine.request("GET", url)
    done = loop.create_future()
    state = {"status": None, "body": bytearray()}

    def notify():
        while not done.done():
            events = request.poll_events()
            for kind, status, _headers, data, message in events:
                if kind == "response":
                    state["status"] = status
                elif kind == "body":
                    state["body"].extend(data)
                elif kind == "done":
                    done.set_result((state["status"], bytes(state["body"])))
                elif kind == "error":
                    done.set_exception(RuntimeError(message))
            if len(events) < 64:
                break

    request.start_async(loop, notify)
    return await done


@pytest.mark.parametrize("kind", ["http1", "https"])
def test_200_concurrent_requests(native, nginx, ca_pem, kind):
    engine = native.PyEngine(ca_pem=ca_pem)
    url = nginx.url(kind, "/small.bin")

    async def main():
        return await asyncio.gather(*(fetch(engine, url) for _ in range(200)))

    results = asyncio.run(main())
    assert len(results) == 200
    assert all(result == (200, nginx.small) for result in results)


def test_async_failure_arrives_as_an_error_event(native, peer):
    engine = native.PyEngine()

    async def main():
        return await fetch(engine, peer.url("/close"))

    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -324\)$"):
        asyncio.run(main())
