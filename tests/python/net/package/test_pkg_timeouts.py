"""Per-phase timeouts against servers that trickle, stall or stop reading, and
request bodies sent sized or chunked."""

import io
import socket
import threading
import time

import pytest

import servers

# One request a connection: the scripted server answers no second one.
HEAD = b"HTTP/1.1 200 OK\r\nConnection: close\r\n"


class Behaviours:
    """Scripted answers; `left[path]` is set once the client closed the
    connection of a request to `path`; `heads` keeps each request head."""

    def __init__(self):
        self.left = {}
        self.heads = []
        self.bodies = []

    def until_client_leaves(self, sock, path):
        try:
            while sock.recv(65536):
                pass
        except OSError:
            pass
        self.left[path].set()

    def serve(self, path, run):
        self.left[path] = threading.Event()

        def behaviour(sock, head, rest):
            run(sock, head, rest)
            self.until_client_leaves(sock, path)
        return behaviour


def _trickle(sock, head, rest):
    # Fifteen pieces 0.1 s apart: 1.5 s in all, longer than the 1 s read bound.
    sock.sendall(HEAD + b"Content-Length: 15\r\n\r\n")
    for _ in range(15):
        time.sleep(0.1)
        sock.sendall(b"x")
    sock.shutdown(socket.SHUT_WR)


def _stall_before_head(sock, head, rest):
    pass


def _stall_in_body(sock, head, rest):
    sock.sendall(HEAD + b"Content-Length: 10\r\n\r\nabc")


def _never_read(sock, head, rest):
    threading.Event().wait(30)  # never reads the body; the client leaves first


@pytest.fixture(scope="module")
def scripted():
    b = Behaviours()

    def record(sock, head, rest):
        b.heads.append(head)
        length = next((int(line.split(":")[1]) for line in head.split("\r\n")
                       if line.lower().startswith("content-length:")), None)
        body = rest
        while (len(body) < length) if length is not None else \
                not body.endswith(b"0\r\n\r\n"):
            data = sock.recv(65536)
            if not data:  # the client gave up on the body
                return
            body += data
        b.bodies.append(body)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    server = servers.ScriptedServer({
        "/trickle": b.serve("/trickle", _trickle),
        "/stall-head": b.serve("/stall-head", _stall_before_head),
        "/stall-body": b.serve("/stall-body", _stall_in_body),
        "/never-read": _never_read,
        "/record": record,
    })
    b.url = server.url
    yield b
    server.stop()


def test_a_body_that_keeps_arriving_outlives_the_read_bound(strandel, scripted):
    with strandel.Client(timeout=1.0) as client:
        assert client.get(scripted.url("/trickle")).content == b"x" * 15
        with client.stream("GET", scripted.url("/trickle")) as r:
            assert b"".join(r.iter_bytes()) == b"x" * 15


@pytest.mark.parametrize("path,stream", [
    ("/stall-head", False), ("/stall-body", False), ("/stall-head", True),
    ("/stall-body", True)])
def test_a_stalled_server_is_a_read_timeout(strandel, scripted, path, stream):
    scripted.left[path].clear()
    with strandel.Client(timeout=strandel.Timeout(10, read=0.3)) as client:
        with pytest.raises(strandel.ReadTimeout, match="nothing of the response arrived for "
                                                        "0.3 s") as info:
            if stream:
                with client.stream("GET", scripted.url(path)) as r:
                    r.read()
            else:
                client.get(scripted.url(path))
        assert info.value.request.url == scripted.url(path)
    assert scripted.left[path].wait(10)  # the request was ended, its connection closed


def test_a_stalled_server_is_a_read_timeout_in_asyncio(strandel, scripted, run):
    async def main():
        async with strandel.AsyncClient(timeout=strandel.Timeout(10, read=0.3)) as client:
            with pytest.raises(strandel.ReadTimeout):
                await client.get(scripted.url("/stall-body"))
            async with client.stream("GET", scripted.url("/trickle"), timeout=1.0) as r:
                assert await r.aread() == b"x" * 15
    run(main())


def _endless():
    piece = b"u" * 65536
    for _ in range(8192):  # 512 MiB: far more than any buffer on the way
        yield piece


def test_a_server_that_takes_no_body_is_a_write_timeout(strandel, scripted, run):
    bound = strandel.Timeout(10, write=0.5)
    with strandel.Client(timeout=bound) as client:
        with pytest.raises(strandel.WriteTimeout, match="for 0.5 s"):
            client.post(scripted.url("/never-read"), content=_endless())

    async def main():
        async with strandel.AsyncClient(timeout=bound) as client:
            with pytest.raises(strandel.WriteTimeout):
                await client.post(scripted.url("/never-read"), content=_endless())
    run(main())


def _framing(head):
    lines = [line.lower() for line in head.split("\r\n")[1:]]
    lengths = [line.split(":", 1)[1].strip() for line in lines
               if line.startswith("content-length:")]
    return lengths, any(line.startswith("transfer-encoding:") for line in lines)


@pytest.mark.parametrize("make,headers,lengths,chunked", [
    (lambda p: b"12345", {}, ["5"], False),
    (lambda p: "é", {}, ["2"], False),
    (lambda p: b"12345", {"Content-Length": "5"}, ["5"], False),
    (lambda p: open(p, "rb"), {}, ["7"], False),
    (lambda p: io.BytesIO(b"1234567"), {}, ["7"], False),
    (lambda p: iter([b"12", b"345"]), {}, [], True),
    (lambda p: iter([b"12", b"345"]), {"Content-Length": "5"}, ["5"], False),
])
def test_sized_bodies_go_out_with_a_length(strandel, client, scripted, tmp_path, make, headers,
                                           lengths, chunked):
    path = tmp_path / "body"
    path.write_bytes(b"1234567")
    content = make(path)
    scripted.heads.clear()
    scripted.bodies.clear()
    client.post(scripted.url("/record"), content=content, headers=headers)
    sent = _framing(scripted.heads[0])
    if sent == ([], True) and not chunked and not strandel._native.CORE_EXTENSIONS:
        # A Core from before the extensions sends every streamed body chunked.
        pytest.xfail("this Core sends a streamed body chunked, its Content-Length dropped")
    assert sent == (lengths, chunked)
    if not chunked:
        assert len(scripted.bodies[0]) == int(lengths[0])


def test_cached_responses_say_so(strandel, scripted, tmp_path):
    if not strandel._native.has_extension("cache_state"):
        pytest.skip("this Core does not report where a response came from")
    cached = servers.ScriptedServer({"/c": lambda sock, head, rest: sock.sendall(
        b"HTTP/1.1 200 OK\r\nCache-Control: max-age=600\r\nContent-Length: 2\r\n\r\nok")})
    try:
        with strandel.Client(profile_namespace=f"p25-{time.monotonic_ns()}") as client:
            first = client.get(cached.url("/c"))
            second = client.get(cached.url("/c"))
            third = client.get(cached.url("/c"), cache=False)
        assert (first.from_cache, second.from_cache, third.from_cache) == (False, True, False)
        assert second.extensions["cache_state"] == "cache"
    finally:
        cached.stop()


@pytest.fixture
def unanswered_address():
    """An address whose connections never complete: a listener that accepts
    nothing, its one-place queue filled, so the kernel drops further SYNs."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):
        filler = socket.socket()
        filler.setblocking(False)
        try:
            filler.connect(listener.getsockname())
        except BlockingIOError:
            pass
        fillers.append(filler)
    host, port = listener.getsockname()
    yield f"http://{host}:{port}/"
    for s in fillers + [listener]:
        s.close()


def test_connecting_is_bounded(strandel, unanswered_address):
    """By `connect` where the Core bounds connecting alone; else the wait for
    the head, bounded by `read`, covers it."""
    alone = strandel._native.has_extension("connect_timeout")
    bound = strandel.Timeout(30, connect=0.3) if alone else strandel.Timeout(30, read=0.3)
    with strandel.Client(timeout=bound) as client:
        with pytest.raises(strandel.ConnectTimeout if alone else strandel.ReadTimeout):
            client.get(unanswered_address)


@pytest.mark.parametrize("pieces", [[b"12"], [b"12", b"3456789"]], ids=["short", "long"])
def test_a_streamed_body_that_breaks_its_length_is_never_sent_wrong(strandel, client, scripted,
                                                                     pieces):
    scripted.heads.clear()
    scripted.bodies.clear()
    try:
        client.post(scripted.url("/record"), content=iter(pieces),
                    headers={"Content-Length": "5"})
    except strandel.LocalProtocolError as e:
        assert e.net_error == -14
        assert not scripted.bodies or len(scripted.bodies[0]) < 5  # never a complete body
        return
    if not strandel._native.CORE_EXTENSIONS and _framing(scripted.heads[0])[1]:
        pytest.xfail("this Core sends a streamed body chunked, its Content-Length dropped")
    pytest.fail("a body that broke its Content-Length was sent")
