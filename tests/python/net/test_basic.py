"""Plain exchanges: heads, header blocks, bodies, default headers, decoding,
cookies and HTTP versions."""

import json
import re

import pytest


def fetch(engine, method, url, **kwargs):
    request = engine.request(method, url, **kwargs)
    response = request.start_stream()
    return response, bytes(request.read_body())


def echo(engine, url, **kwargs):
    response, body = fetch(engine, kwargs.pop("method", "GET"), url, **kwargs)
    assert response.status_code == 200
    return json.loads(body)


def header_values(echoed, name):
    return [v for k, v in echoed["headers"] if k.lower() == name]


def test_version_string_names_core_libcurl_openssl_and_boost(native):
    text = native.PyEngine.core_version()
    assert re.fullmatch(r"halvane/\d+\.\d+\.\d+ libcurl/\S+ (?:OpenSSL/\S+|AWS-LC/\S+) Boost/\d+\.\d+\.\d+", text), text


def test_get_returns_status_raw_head_and_body(engine, nginx):
    response, body = fetch(engine, "GET", nginx.url("http1", "/small.bin"))
    assert response.status_code == 200
    head = response.headers
    assert head.startswith(b"HTTP/1.1 200 OK\r\n")
    assert head.endswith(b"\r\n\r\n")
    assert head.count(b"\r\n\r\n") == 1
    assert all(line.endswith(b"\r") for line in head.split(b"\n")[:-1])
    assert b"\r\nContent-Length: 1024\r\n" in head
    assert response.content == b""
    assert body == nginx.small


@pytest.mark.parametrize("path", ["/lf-head", "/informational"])
def test_head_block_is_crlf_and_only_the_final_head(engine, peer, path):
    response, body = fetch(engine, "GET", peer.url(path))
    assert response.status_code == 200
    assert body == b"ok"
    assert response.headers.startswith(b"HTTP/1.1 200 OK\r\n")
    assert b"\n" not in response.headers.replace(b"\r\n", b"")
    assert b"103" not in response.headers


@pytest.mark.parametrize("method,url,headers", [
    ("GET", "http://127.0.0.1/a\r\nX-Injected: 1", None),
    ("GET", "ftp://127.0.0.1/", None),
    ("GET", "/relative", None),
    ("GET / HTTP/1.1\r\nHost: x\r\n\r\nGET", "http://127.0.0.1/", None),
    ("", "http://127.0.0.1/", None),
    ("GET", "http://127.0.0.1/", [("X-A", "1\r\nX-Injected: 1")]),
    ("GET", "http://127.0.0.1/", [("X-A", "1\nX-Injected: 1")]),
    ("GET", "http://127.0.0.1/", [("X-A", "1\x002")]),
    ("GET", "http://127.0.0.1/", [("X-A: 1\r\nX-B", "2")]),
    ("GET", "http://127.0.0.1/", [("Bad Name", "2")]),
])
def test_unsafe_requests_are_refused(engine, method, url, headers):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        engine.request(method, url, headers=headers)


@pytest.mark.parametrize("options,message", [
    ({"user_agent": "a\r\nX-Injected: 1"}, "InvalidArgument"),
    ({"accept_language": "en\nX: y"}, "InvalidArgument"),
    ({"http_version": "h3", "proxy": "http://127.0.0.1:3128"}, "InvalidArgument"),
    ({"impersonate": "chrome_99"}, "ProfileUnsupported"),
])
def test_engine_options_the_core_refuses(native, options, message):
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        native.PyEngine(**options)


def test_head_request_has_no_body(engine, nginx):
    response, body = fetch(engine, "HEAD", nginx.url("http1", "/medium.bin"))
    assert response.status_code == 200
    assert b"Content-Length: 8388608" in response.headers
    assert body == b""


def test_request_headers_are_sent_in_order_with_duplicates(engine, app):
    echoed = echo(engine, app.url("/echo"),
                  headers=[("X-A", "1"), ("X-B", "two words"), ("X-A", "3"), ("X-Empty", "")])
    sent = [(k, v) for k, v in echoed["headers"] if k.startswith("x-")]
    assert sent == [("x-a", "1"), ("x-b", "two words"), ("x-a", "3"), ("x-empty", "")]


def test_engine_defaults_give_way_to_request_headers(native, app):
    engine = native.PyEngine(user_agent="engine-agent/1", accept_language="de-CH")
    echoed = echo(engine, app.url("/echo"))
    assert header_values(echoed, "user-agent") == ["engine-agent/1"]
    assert header_values(echoed, "accept-language") == ["de-CH"]
    echoed = echo(engine, app.url("/echo"),
                  headers=[("User-Agent", "mine/2"), ("accept-language", "fr")])
    assert header_values(echoed, "user-agent") == ["mine/2"]
    assert header_values(echoed, "accept-language") == ["fr"]


def test_caller_cannot_contradict_the_body_framing(engine, app):
    echoed = echo(engine, app.url("/echo"), method="POST", body=b"12345",
                  headers=[("Content-Length", "1"), ("Transfer-Encoding", "chunked")])
    assert echoed["body_length"] == 5
    assert header_values(echoed, "content-length") == ["5"]
    assert header_values(echoed, "transfer-encoding") == []


@pytest.mark.parametrize("method", ["POST", "PUT", "PATCH", "DELETE"])
def test_bytes_body_is_sent_with_the_method(engine, app, method):
    import hashlib

    body = bytes(range(256)) * 40
    echoed = echo(engine, app.url("/echo"), method=method, body=body)
    assert echoed["method"] == method
    assert echoed["body_length"] == len(body)
    assert echoed["body_sha256"] == hashlib.sha256(body).hexdigest()
    assert header_values(echoed, "content-type") == []


def test_post_without_body_sends_zero_length(engine, app):
    echoed = echo(engine, app.url("/echo"), method="POST")
    assert header_values(echoed, "content-length") == ["0"]


@pytest.mark.parametrize("path,coding,expected", [
    ("/gzip", b"gzip", b"hello compressed world " * 100),
    ("/coded?as=deflate,%20gzip", b"deflate, gzip", b"coded body " * 100),
    ("/coded?as=identity", b"identity", b"coded body " * 100),
    # A coding the Core cannot decode: the body as it arrived, like a browser.
    ("/coded?as=snappy", b"snappy", b"coded body " * 100),
])
def test_compressed_body_is_decoded(engine, app, path, coding, expected):
    response, body = fetch(engine, "GET", app.url(path))
    assert b"content-encoding: " + coding + b"\r\n" in response.headers.lower()
    assert body == expected


def test_nginx_gzip_is_decoded(engine, nginx):
    response, body = fetch(engine, "GET", nginx.url("http1", "/gz/text.txt"))
    assert b"Content-Encoding: gzip" in response.headers
    assert body == nginx.text


def test_cookie_jar_is_per_engine_and_merges_caller_cookie(native, app):
    engine = native.PyEngine()
    fetch(engine, "GET", app.url("/set-cookie?name=jar&value=1"))
    echoed = echo(engine, app.url("/echo"), headers=[("Cookie", "mine=2")])
    assert header_values(echoed, "cookie") == ["jar=1; mine=2"]
    other = echo(native.PyEngine(), app.url("/echo"))
    assert header_values(other, "cookie") == []


@pytest.mark.parametrize("version,kind,expected", [
    (None, "https", b"HTTP/2 200"),
    (None, "http1", b"HTTP/1.1 200"),
    ("h1", "https", b"HTTP/1.1 200"),
    ("h2", "h2c", b"HTTP/2 200"),
    ("h2", "https", b"HTTP/2 200"),
])
def test_http_version_selection(native, nginx, ca_pem, version, kind, expected):
    engine = native.PyEngine(ca_pem=ca_pem, http_version=version)
    response, body = fetch(engine, "GET", nginx.url(kind, "/small.bin"))
    assert response.headers.startswith(expected)
    assert body == nginx.small


def test_request_outlives_a_temporary_engine(native, nginx):
    request = native.PyEngine().request("GET", nginx.url("http1", "/small.bin"))
    response = request.start_stream()
    assert response.status_code == 200
    assert bytes(request.read_body()) == nginx.small


@pytest.mark.parametrize("kind", ["http1", "https"])
def test_connections_are_reused(native, nginx, ca_pem, kind):
    # /conn answers with nginx's serial number of the connection.
    engine = native.PyEngine(ca_pem=ca_pem)
    serials = {fetch(engine, "GET", nginx.url(kind, "/conn"))[1] for _ in range(5)}
    assert len(serials) == 1


def test_only_if_cached_misses(engine, nginx):
    request = engine.request("GET", nginx.url("http1", "/small.bin"), cache="only_if_cached")
    with pytest.raises(RuntimeError, match=r"^CacheMiss \(Chromium net error -400\)$"):
        request.start_stream()
