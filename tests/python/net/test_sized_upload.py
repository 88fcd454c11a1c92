"""Streamed bodies whose headers declare a Content-Length go out sized, not
chunked; one that ends short or runs long fails and never reaches the
server wrong."""

import json
import queue

import pytest

import servers

UPLOAD_CHANGED = "Network (Chromium net error -14)"


class Recorder:
    """Records the head and every body byte of each connection until the
    client ends it, or, when `answer` is set, until the whole body is in
    (the declared length, or the last chunk), and then answers."""

    def __init__(self, answer):
        self.answer = answer
        self.heads = queue.Queue()
        self.arrivals = queue.Queue()

    def __call__(self, sock, head, rest):
        self.heads.put(head)
        length = None
        for line in head.split("\r\n")[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        data = rest
        try:
            while True:
                complete = (len(data) >= length if length is not None
                            else data.endswith(b"0\r\n\r\n"))
                if self.answer and complete:
                    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
                    break
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
        except OSError:
            pass
        self.arrivals.put((head, data))


@pytest.fixture
def recorded():
    made = []

    def start(answer):
        recorder = Recorder(answer)
        server = servers.ScriptedServer({"/up": recorder})
        made.append(server)
        return server, recorder

    yield start
    for server in made:
        server.stop()


def head_fields(head):
    return {line.partition(":")[0].strip().lower(): line.partition(":")[2].strip()
            for line in head.split("\r\n")[1:]}


def test_exact_length_goes_out_sized(engine, recorded):
    server, recorder = recorded(answer=True)
    request = engine.request("POST", server.url("/up"), chunked=True,
                             headers=[("Content-Length", "10")])
    request.start()
    request.upload_write(b"hello", False)
    request.upload_write(b"world", False)
    request.upload_finish()
    assert request.await_response().status_code == 200
    head, data = recorder.arrivals.get(timeout=30)
    fields = head_fields(head)
    assert fields.get("content-length") == "10"
    assert "transfer-encoding" not in fields
    assert data == b"helloworld"


@pytest.mark.parametrize("writes,final,message", [
    ([b"abc"], True, "upload body ended after 3 of 5 bytes"),
    ([], True, "upload body ended after 0 of 5 bytes"),
    ([b"abcde", b"f"], False, "upload body ran past its Content-Length of 5 bytes"),
    ([b"abcdef"], False, "upload body ran past its Content-Length of 5 bytes"),
])
def test_a_body_that_breaks_its_length_fails_and_is_never_sent_wrong(
        engine, recorded, writes, final, message):
    server, recorder = recorded(answer=False)
    request = engine.request("POST", server.url("/up"), chunked=True,
                             headers=[("Content-Length", "5")])
    request.start()
    # The head goes out before any of the body is there: the connection is
    # up and the upload under way when the body breaks its length.
    recorder.heads.get(timeout=30)
    with pytest.raises(RuntimeError) as broke:
        for data in writes:
            request.upload_write(data, False)
        if final:
            request.upload_finish()
    assert str(broke.value) == message
    with pytest.raises(RuntimeError) as failed:
        request.await_response()
    assert str(failed.value) == UPLOAD_CHANGED
    # The connection was closed under what had arrived: never more than the
    # length, never a chunk framing.
    head, data = recorder.arrivals.get(timeout=30)
    assert head_fields(head).get("content-length") == "5"
    assert len(data) <= 5 and b"f" not in data


@pytest.mark.parametrize("declared", [
    [("Content-Length", "x5")],
    [("Content-Length", "5"), ("Content-Length", "6")],
    [],
])
def test_without_a_valid_length_the_body_goes_chunked(engine, recorded, declared):
    server, recorder = recorded(answer=True)
    request = engine.request("POST", server.url("/up"), chunked=True, headers=declared)
    request.start()
    request.upload_write(b"hello", True)
    assert request.await_response().status_code == 200
    head, data = recorder.arrivals.get(timeout=30)
    fields = head_fields(head)
    assert fields.get("transfer-encoding") == "chunked"
    assert "content-length" not in fields
    assert data == b"5\r\nhello\r\n0\r\n\r\n"


@pytest.mark.parametrize("tls", [False, True], ids=["http1", "http2"])
def test_sized_upload_to_the_app(native, app, ca_pem, tls):
    engine = native.PyEngine(ca_pem=ca_pem)
    body = bytes(range(256)) * 4096  # 1 MiB
    request = engine.request("PUT", app.url("/echo", tls=tls), chunked=True,
                             headers=[("Content-Length", str(len(body)))])
    request.start()
    for i in range(0, len(body), 100_000):
        request.upload_write(body[i:i + 100_000], False)
    request.upload_finish()
    assert request.await_response().status_code == 200
    echoed = json.loads(bytes(request.read_body()))
    assert echoed["body_length"] == len(body)
    names = [k for k, _ in echoed["headers"]]
    assert "transfer-encoding" not in names
    assert ["content-length", str(len(body))] in echoed["headers"]
    if tls:
        assert echoed["http_version"] == "2"


@pytest.mark.parametrize("tls", [False, True], ids=["http1", "http2"])
def test_a_short_body_fails_on_the_app_and_the_engine_goes_on(native, app, ca_pem, tls):
    engine = native.PyEngine(ca_pem=ca_pem)
    request = engine.request("PUT", app.url("/echo", tls=tls), chunked=True,
                             headers=[("Content-Length", "100")])
    request.start()
    request.upload_write(b"x" * 60, False)
    with pytest.raises(RuntimeError, match="^upload body ended after 60 of 100 bytes$"):
        request.upload_finish()
    with pytest.raises(RuntimeError) as failed:
        request.await_response()
    assert str(failed.value) == UPLOAD_CHANGED
    after = engine.request("GET", app.url("/echo", tls=tls))
    assert after.start_stream().status_code == 200
    after.read_body()


def test_sized_upload_over_http3(native, h3app, ca_pem):
    engine = native.PyEngine(ca_pem=ca_pem, http_version="h3")
    body = bytes(range(256)) * 1024
    request = engine.request("POST", h3app.url("/echo", tls=True), chunked=True,
                             headers=[("Content-Length", str(len(body)))])
    request.start()
    request.upload_write(body, True)
    assert request.await_response().status_code == 200
    echoed = json.loads(bytes(request.read_body()))
    assert (echoed["http_version"], echoed["body_length"]) == ("3", len(body))
    assert ["content-length", str(len(body))] in echoed["headers"]
    short = engine.request("POST", h3app.url("/echo", tls=True), chunked=True,
                           headers=[("Content-Length", "10")])
    short.start()
    with pytest.raises(RuntimeError, match="^upload body ended after 4 of 10 bytes$"):
        short.upload_write(b"abcd", True)
    with pytest.raises(RuntimeError) as failed:
        short.await_response()
    assert str(failed.value) == UPLOAD_CHANGED


@pytest.mark.parametrize("declared", [[], [("Content-Length", "99")]])
def test_a_whole_body_goes_out_with_its_own_length(engine, recorded, declared):
    server, recorder = recorded(answer=True)
    request = engine.request("POST", server.url("/up"), body=b"hello", headers=declared)
    assert request.start_stream().status_code == 200
    head, data = recorder.arrivals.get(timeout=30)
    fields = head_fields(head)
    assert (fields.get("content-length"), "transfer-encoding" in fields, data) == \
        ("5", False, b"hello")
