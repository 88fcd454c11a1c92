"""Ordinary uses of the package that `mypy --strict` must accept."""

import asyncio

import strandel


def blocking(url: str) -> int:
    with strandel.Client(timeout=strandel.Timeout(5.0, connect=1.0), cache="no_store",
                         headers={"X-A": "1"}, follow_redirects=False,
                         http_version="h2") as client:
        r = client.get(url, params={"q": "x"}, timeout=(1.0, 5.0), cache=False)
        client.post(url, json={"k": [1, 2]}, headers=[("X-B", "2")])
        client.put(url, content=b"bytes", priority="low")
        client.patch(url, data={"a": "1"}, follow_redirects=True)
        with client.stream("GET", url, timeout=None) as streamed:
            for chunk in streamed.iter_bytes():
                assert isinstance(chunk, bytes)
        with client.websocket("ws://127.0.0.1/", max_message_size=1 << 20) as ws:
            ws.ping(b"x")
            ws.send_text("hi")
            ws.receive(timeout=1.0)
        flag: bool = r.from_cache
        return r.status_code + int(flag)


async def asynchronous(url: str) -> str:
    async with strandel.AsyncClient(timeout=10) as client:
        r = await client.get(url, cache="validate")
        await client.delete(url)
        async with client.websocket("ws://127.0.0.1/") as ws:
            await ws.receive(timeout=2.5)
        return r.text


def one_call(url: str) -> bytes:
    r = strandel.get(url, cache=False, impersonate="chrome_131", timeout=3)
    strandel.post(url, content="text", verify=False)
    try:
        strandel.head(url, timeout=strandel.Timeout(None, read=1.0))
    except strandel.ReadTimeout:
        pass
    return r.content


def run_async(url: str) -> str:
    return asyncio.run(asynchronous(url))
