"""Each kind of failure ends the request with its Core code and Chromium net
error, shown in the exact text the module raises."""

import socket
import ssl
import threading
import warnings

import pytest

import servers


def failure_of(request):
    with pytest.raises(RuntimeError) as info:
        request.start_stream()
        request.read_body()
    return str(info.value)


def closed_port():
    return servers.free_port()  # bound and released: nothing listens there


@pytest.mark.parametrize("path,message", [
    ("/reset", "Network (Chromium net error -101)"),
    ("/close", "Network (Chromium net error -324)"),
    ("/malformed", "Protocol (Chromium net error -370)"),
    ("/not-http", "Protocol (Chromium net error -370)"),
    ("/truncated-length", "Network (Chromium net error -354)"),
    ("/truncated-chunked", "Network (Chromium net error -355)"),
])
def test_broken_peers(engine, peer, path, message):
    assert failure_of(engine.request("GET", peer.url(path))) == message


def test_truncated_body_after_head_fails_in_the_body(engine, peer):
    request = engine.request("GET", peer.url("/truncated-length"))
    assert request.start_stream().status_code == 200
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -354\)$"):
        request.read_body()


def test_name_not_resolved(engine):
    # A label over 63 bytes cannot be put in a DNS query, so the resolver
    # fails without sending one.
    url = "http://" + "a" * 64 + ".invalid/"
    assert failure_of(engine.request("GET", url)) == "Network (Chromium net error -105)"


def test_connection_refused(engine):
    url = f"http://127.0.0.1:{closed_port()}/"
    assert failure_of(engine.request("GET", url)) == "Network (Chromium net error -102)"


def test_timeout_waiting_for_the_head(engine, peer):
    request = engine.request("GET", peer.url("/stall-head"), timeout=0.5)
    assert failure_of(request) == "Timeout (Chromium net error -7)"


def test_timeout_bounds_the_body_too(engine, app):
    request = engine.request("GET", app.url("/stall"), timeout=0.5)
    assert request.start_stream().status_code == 200
    with pytest.raises(RuntimeError, match=r"^Timeout \(Chromium net error -7\)$"):
        request.read_body()


def test_connect_timeout(engine):
    # A listener whose accept queue is full drops further handshakes.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    fillers = []
    try:
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            fillers.append(s)
        request = engine.request("GET", f"http://127.0.0.1:{port}/", timeout=0.5)
        assert failure_of(request) == "Timeout (Chromium net error -118)"
    finally:
        for s in fillers:
            s.close()
        listener.close()


def test_decoding_failure(engine, app):
    assert failure_of(engine.request("GET", app.url("/gzip-bad"))) == \
        "Network (Chromium net error -330)"


@pytest.mark.parametrize("query", ["count=1&size=10485760", "count=100000&size=1"])
def test_oversized_response_head_is_malformed(engine, app, query):
    assert failure_of(engine.request("GET", app.url("/big-head?" + query))) == \
        "Protocol (Chromium net error -325)"


@pytest.mark.parametrize("path,headers", [
    ("/echo", [("X-Big", "a" * (2 << 20))]),
    ("/" + "p" * (3 << 20), None),
    ("/echo", [(f"X-H{i}", "v") for i in range(50000)]),
])
def test_oversized_request_head_is_refused_and_the_origin_stays_usable(native, app, path,
                                                                       headers):
    engine = native.PyEngine()  # the refused request is the origin's first
    with pytest.raises(RuntimeError, match=r"^InvalidArgument$"):
        engine.request("GET", app.url(path), headers=headers).start()
    request = engine.request("GET", app.url("/echo"), timeout=20)
    assert request.start_stream().status_code == 200


def test_head_too_large_for_http2_goes_over_http1(tls_engine, nginx):
    # nghttp2 would refuse to send it and leave the stream waiting.
    big = tls_engine.request("GET", nginx.url("https", "/small.bin"),
                             headers=[("X-Big", "a" * (100 << 10))], timeout=20)
    assert big.start_stream().headers.startswith(b"HTTP/1.1 ")
    small = tls_engine.request("GET", nginx.url("https", "/small.bin"), timeout=20)
    assert small.start_stream().headers.startswith(b"HTTP/2 200")


def test_http2_stream_error(native, peer):
    engine = native.PyEngine(http_version="h2")  # prior knowledge in clear text
    assert failure_of(engine.request("GET", peer.url("/"))) == \
        "Protocol (Chromium net error -337)"


@pytest.mark.parametrize("kind,message", [
    ("wrong_name", "Tls (Chromium net error -200)"),
    ("expired", "Tls (Chromium net error -201)"),
])
def test_certificate_failures(tls_engine, nginx, kind, message):
    assert failure_of(tls_engine.request("GET", nginx.url(kind, "/"))) == message


def test_tls_to_a_plain_server(tls_engine, nginx):
    url = f"https://127.0.0.1:{nginx.ports['http1']}/"
    assert failure_of(tls_engine.request("GET", url)) == "Tls (Chromium net error -107)"


@pytest.fixture
def old_tls_server(trust, tmp_path):
    """A TLS server that speaks nothing newer than TLS 1.1."""
    cert = trust[1]["good"]
    cert.private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "both.pem"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(tmp_path / "both.pem"))
    try:
        context.set_ciphers("ALL:@SECLEVEL=0")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.maximum_version = ssl.TLSVersion.TLSv1_1
    except (ValueError, ssl.SSLError):
        pytest.skip("this OpenSSL cannot offer TLS 1.0")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            try:
                context.wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError):
                pass
            conn.close()

    threading.Thread(target=serve, daemon=True).start()
    yield listener.getsockname()[1]
    listener.close()


def test_tls_version_mismatch(tls_engine, old_tls_server):
    url = f"https://127.0.0.1:{old_tls_server}/"
    assert failure_of(tls_engine.request("GET", url)) == "Tls (Chromium net error -113)"
