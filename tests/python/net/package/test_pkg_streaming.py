"""Streamed response bodies and request bodies: pieces, text and lines, and
flow control in both directions."""

import asyncio
import os
import threading
import time

import pytest

import peers
import servers

MIB = 1024 * 1024


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_iterating_a_stream(client, app, canned):
    with client.stream("GET", app.url("/slow?chunks=4&delay=0.01")) as r:
        assert r.status_code == 200
        assert list(r.iter_bytes()) == [b"0;", b"1;", b"2;", b"3;"]
        assert r.num_bytes_downloaded == 8
    with client.stream("GET", app.url("/slow?chunks=4&delay=0")) as r:
        assert list(r.iter_bytes(chunk_size=3)) == [b"0;1", b";2;", b"3;"]
    with client.stream("GET", canned.url("/lines")) as r:
        assert list(r.iter_lines()) == ["one", "two", "three", "", "last"]
    with client.stream("GET", canned.url("/latin1")) as r:
        assert "".join(r.iter_text()) == "café"


def test_stream_used_out_of_order(strandel, client, app):
    with client.stream("GET", app.url("/slow?chunks=2&delay=0")) as r:
        with pytest.raises(strandel.StreamError):
            r.content
        assert r.read() == b"0;1;"
        assert list(r.iter_bytes()) == [b"0;1;"]  # from what was read
    with client.stream("GET", app.url("/slow?chunks=2&delay=0")) as r:
        assert b"".join(r.iter_bytes()) == b"0;1;"
        with pytest.raises(strandel.StreamError):
            next(r.iter_bytes())  # consumed, not kept


def test_async_stream(strandel, app, canned, run):
    async def main():
        async with strandel.AsyncClient() as client:
            async with client.stream("GET", app.url("/slow?chunks=3&delay=0.01")) as r:
                pieces = [chunk async for chunk in r.aiter_bytes()]
            async with client.stream("GET", canned.url("/lines")) as r:
                lines = [line async for line in r.aiter_lines()]
            async with client.stream("GET", canned.url("/latin1")) as r:
                text = await r.aread()
        return pieces, lines, text

    assert run(main()) == ([b"0;", b"1;", b"2;"], ["one", "two", "three", "", "last"],
                           "café".encode("latin-1"))


@pytest.mark.skipif(bool(os.environ.get("STRANDEL_SANITIZED")),
                    reason="a sanitizer's allocator keeps freed memory resident")
@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
def test_slow_reader_holds_little(strandel, nginx, flavour):
    # 256 MiB that loopback would deliver in well under the pause below:
    # only flow control reaching the server keeps them out of memory.
    url = nginx.url("http1", "/big.bin")
    warm = nginx.url("http1", "/medium.bin")

    def blocking():
        with strandel.Client() as client:
            client.get(warm)
            start = rss_bytes()
            with client.stream("GET", url) as r:
                chunks = r.iter_bytes()
                next(chunks)
                time.sleep(1.0)
                grown = rss_bytes() - start
                assert sum(len(c) for c, _ in zip(chunks, range(64))) > 0
            return grown

    async def asynchronous():
        async with strandel.AsyncClient() as client:
            await client.get(warm)
            start = rss_bytes()
            async with client.stream("GET", url) as r:
                chunks = r.aiter_bytes()
                await chunks.__anext__()
                await asyncio.sleep(1.0)
                grown = rss_bytes() - start
                await chunks.aclose()
            return grown

    grown = blocking() if flavour == "blocking" else asyncio.run(asynchronous())
    assert grown < 16 * MIB, f"resident memory grew by {grown / MIB:.1f} MiB"


@pytest.mark.parametrize("source", ["async generator", "generator", "file"])
def test_async_upload_waits_for_the_server_without_blocking_the_loop(strandel, source, tmp_path):
    gate = peers.GatedUpload()
    server = servers.ScriptedServer({"/upload": gate})
    pulled = []
    total = 96 * MIB

    def pieces():
        for _ in range(total // MIB):
            pulled.append(1)
            yield b"z" * MIB

    async def async_pieces():
        for piece in pieces():
            yield piece

    class Reader:  # a file that counts what was read of it
        def __init__(self):
            self.left = total

        def read(self, n):
            n = min(n, self.left)
            self.left -= n
            pulled.append(n / MIB)
            return b"z" * n

    body = {"async generator": async_pieces, "generator": pieces, "file": Reader}[source]()

    async def main():
        async with strandel.AsyncClient() as client:
            upload = asyncio.ensure_future(client.post(server.url("/upload"), content=body))
            ticks = 0
            while ticks < 100:  # the loop keeps turning while the upload is held up
                await asyncio.sleep(0.01)
                ticks += 1
            assert not upload.done()
            held = sum(pulled)
            gate.open.set()
            return held, await upload

    try:
        held, response = asyncio.run(main())
    finally:
        gate.open.set()
        server.stop()
    assert held < 48, f"{held:.0f} MiB were taken from the source while the server read nothing"
    assert response.text.split()[0] == str(total)


class _UploadRecorder:
    """Reads a chunked upload; `arrived` is set when the request's head has
    come, `ended` when the connection is over, and `completed` tells whether
    the body's last chunk ever arrived."""

    def __init__(self):
        self.gate = peers.GatedUpload()
        self.gate.open.set()
        self.arrived = threading.Event()
        self.ended = threading.Event()
        self.completed = False

    def __call__(self, sock, head, rest):
        self.arrived.set()
        try:
            self.gate(sock, head, rest)
            self.completed = True
        except OSError:
            pass
        finally:
            self.ended.set()


@pytest.mark.parametrize("error", [RuntimeError, ValueError])
@pytest.mark.parametrize("client_kind, source", [("blocking", "generator"), ("async", "generator"),
                                                 ("async", "async generator")])
def test_a_failing_upload_source_ends_the_request_with_its_error(strandel, client_kind, source,
                                                                   error):
    recorder = _UploadRecorder()
    server = servers.ScriptedServer({"/upload": recorder})
    raised = error("the source broke")

    def pieces():
        yield b"a" * 1000
        # The server is reading the body when the source fails.
        assert recorder.arrived.wait(30)
        yield b"b" * 1000
        raise raised

    async def async_pieces():
        for piece in pieces():
            yield piece

    body = pieces() if source == "generator" else async_pieces()

    async def post_async():
        async with strandel.AsyncClient() as client:  # no timeout: a lost error would hang
            return await asyncio.wait_for(client.post(server.url("/upload"), content=body), 30)

    try:
        with pytest.raises(error) as caught:
            if client_kind == "blocking":
                with strandel.Client() as client:
                    client.post(server.url("/upload"), content=body)
            else:
                asyncio.run(post_async())
        assert caught.value is raised
        assert recorder.ended.wait(30)
        assert not recorder.completed, "the server received a complete body"
    finally:
        server.stop()
