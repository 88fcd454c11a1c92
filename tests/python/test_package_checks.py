"""The strandel package checks every argument itself, before any native call:
the exception class and the message name the argument and what is wrong."""

import io
import math
import ssl

import pytest

from strandel_package import REQUEST_CREATE, strandel
from strandel import _content

URL = "http://127.0.0.1/"
WS = "ws://127.0.0.1/"
InvalidURL = strandel.InvalidURL


def _gen(*pieces):
    yield from pieces


@pytest.mark.parametrize("call,cls,message", [
    # URLs
    (lambda c: c.get(123), TypeError, "url must be str, not int"),
    (lambda c: c.get("not a url"), InvalidURL, "must not contain spaces or control characters"),
    (lambda c: c.get("http://h\\x/"), InvalidURL, "invalid host in url"),
    (lambda c: c.get("http://[::1]x/"), InvalidURL, "invalid host in url"),
    (lambda c: c.get("http://a@b@c/"), InvalidURL, "invalid host in url"),
    (lambda c: c.get("ftp://127.0.0.1/f"), InvalidURL, "unsupported URL scheme 'ftp'"),
    (lambda c: c.get("http://127.0.0.1:99999/"), InvalidURL, "Port out of range"),
    (lambda c: c.get("http:///path"), InvalidURL, "has no host"),
    (lambda c: c.get("127.0.0.1:8080/x"), InvalidURL, "has no scheme"),
    (lambda c: c.get("/relative"), InvalidURL, "has no scheme"),
    (lambda c: c.get("http://[::1/"), InvalidURL, "Invalid IPv6 URL"),
    (lambda c: c.get("http://h/a\nb"), InvalidURL, "control characters"),
    (lambda c: c.websocket("http://127.0.0.1/"), InvalidURL, "unsupported URL scheme 'http'"),
    # method, headers
    (lambda c: c.request("GE T", URL), ValueError, "invalid method 'GE T'"),
    (lambda c: c.request(None, URL), TypeError, "method must be str, not NoneType"),
    (lambda c: c.get(URL, headers={"X": None}), TypeError,
     "header value must be str, not NoneType"),
    (lambda c: c.get(URL, headers={"X": 1}), TypeError, "header value must be str, not int"),
    (lambda c: c.get(URL, headers={1: "v"}), TypeError, "header name must be str, not int"),
    (lambda c: c.get(URL, headers={"Bad Name": "v"}), ValueError,
     "invalid header name 'Bad Name'"),
    (lambda c: c.get(URL, headers={"X": "a\r\nInjected: 1"}), ValueError,
     "must not contain control characters (CR, LF, NUL...)"),
    (lambda c: c.get(URL, headers={"X": "a\0"}), ValueError, "must not contain control"),
    (lambda c: c.get(URL, headers={"X": "a\x7f"}), ValueError, "must not contain control"),
    (lambda c: c.get(URL, headers={"X": "x" * 300_000}), ValueError,
     "the request head (URL and headers) would be 300"),
    (lambda c: c.get(URL, headers={"X": b"\xff"}), ValueError, "must be UTF-8"),
    (lambda c: c.get(URL, headers="X: 1"), TypeError, "headers must be a mapping"),
    (lambda c: c.get(URL, headers=[("X",)]), TypeError, "list of (name, value) pairs"),
    # params, bodies
    (lambda c: c.get(URL, params={"a": object()}), TypeError,
     "params values must be str, int, float, bool or None, not object"),
    (lambda c: c.get(URL, params=5), TypeError, "params must be a mapping"),
    (lambda c: c.post(URL, content=[1, 2, 3]), TypeError, "got a list holding int"),
    (lambda c: c.post(URL, content=5), TypeError, "content must be bytes, str"),
    (lambda c: c.post(URL, content={"a": 1}), TypeError, "not dict"),
    (lambda c: c.post(URL, content=b"x", json={}), ValueError, "not content and json"),
    (lambda c: c.post(URL, data={"a": {"b": 1}}), TypeError, "data values must be"),
    (lambda c: c.post(URL, data=5), TypeError, "data must be a mapping"),
    (lambda c: c.post(URL, files={"f": 5}), TypeError, "a file of files must be"),
    (lambda c: c.post(URL, files={"f": ("a", b"x", "t", {}, 1)}), TypeError, "tuple of 5"),
    (lambda c: c.post(URL, json=float("nan")), ValueError, "json: Out of range float"),
    (lambda c: c.post(URL, json={1, 2}), TypeError, "json: Object of type set"),
    (lambda c: c.post(URL, content=b"ab", headers={"Content-Length": "3"}), ValueError,
     "the Content-Length header says 3 bytes but the body has 2"),
    (lambda c: c.post(URL, content=io.BytesIO(b"abcd"), headers={"content-length": "9"}),
     ValueError, "the Content-Length header says 9 bytes but the body has 4"),
    (lambda c: c.get(URL, headers={"Content-Length": "5"}), ValueError,
     "says 5 bytes but the body has 0"),
    (lambda c: c.post(URL, content=b"", headers={"Content-Length": "x"}), ValueError,
     "must be one whole number of bytes"),
    # request options
    (lambda c: c.get(URL, follow_redirects="no"), TypeError,
     "follow_redirects must be bool, not str"),
    (lambda c: c.get(URL, cache="no-store"), ValueError, "cache must be True, False or one of"),
    (lambda c: c.get(URL, cache=1), TypeError, "cache must be bool or a cache mode name"),
    (lambda c: c.get(URL, priority="high"), ValueError, "priority must be one of"),
    (lambda c: c.get(URL, timeout=-1), ValueError, "timeout must be a finite number"),
    (lambda c: c.get(URL, timeout=math.nan), ValueError, "timeout must be a finite number"),
    (lambda c: c.get(URL, timeout="5"), TypeError, "timeout must be a number of seconds"),
    (lambda c: c.get(URL, timeout=(1, 2, 3)), ValueError, "not 3 items"),
    (lambda c: c.websocket(WS, timeout=math.inf), ValueError, "timeout must be a finite"),
    (lambda c: c.websocket(WS, subprotocols="chat"), TypeError, "subprotocols must be a list"),
    (lambda c: c.websocket(WS, max_message_size=0), ValueError,
     "max_message_size must be > 0"),
    (lambda c: c.websocket(WS, subprotocols=["a", "a"]), ValueError, "'a' is given twice"),
    (lambda c: c.websocket(WS, subprotocols=["a b"]), ValueError, "invalid subprotocol"),
    (lambda c: c.websocket(WS, origin="http://o\r\n"), ValueError, "origin must not contain"),
    # client options
    (lambda c: strandel.Client(verify=ssl.create_default_context()), TypeError,
     "verify= cannot take an ssl.SSLContext"),
    (lambda c: strandel.Client(verify=1), TypeError, "verify must be bool or the path"),
    (lambda c: strandel.Client(proxy="nonsense"), InvalidURL, "proxy 'nonsense' has no scheme"),
    (lambda c: strandel.Client(proxy="ftp://p:1"), InvalidURL, "unsupported URL scheme 'ftp'"),
    (lambda c: strandel.Client(proxy="socks4://p:1"), InvalidURL, "scheme 'socks4'"),
    (lambda c: strandel.Client(proxy="http://p:1", http_version="h3"), ValueError,
     "cannot go through a proxy"),
    (lambda c: strandel.Client(profile_namespace=".hidden"), ValueError,
     "profile_namespace must be 1 to 64"),
    (lambda c: strandel.Client(profile_namespace="a/b"), ValueError, "profile_namespace must"),
    (lambda c: strandel.Client(ca_pem=b"not pem"), ValueError, "holds no PEM certificate"),
    (lambda c: strandel.Client(proxy="http://p:99999"), InvalidURL, "Port out of range"),
    (lambda c: strandel.Client(proxy_auth="u:p"), TypeError, "proxy_auth must be a"),
    (lambda c: strandel.Client(proxy_username="u"), TypeError, "unexpected keyword"),
    (lambda c: strandel.Client(http_version="h9"), ValueError, "http_version must be one of"),
    (lambda c: strandel.Client(cache="sometimes"), ValueError, "cache must be True, False"),
    (lambda c: strandel.Client(user_agent="a\nb"), ValueError, "user_agent must not contain"),
    (lambda c: strandel.Client(impersonate=131), TypeError, "impersonate must be str or None"),
    (lambda c: strandel.Client(max_redirects=-1), ValueError, "max_redirects must be >= 0"),
    (lambda c: strandel.Client(max_redirects=True), TypeError, "max_redirects must be int"),
    (lambda c: strandel.Client(follow_redirects=None), TypeError, "follow_redirects must be"),
    (lambda c: strandel.Client(base_url="nope"), InvalidURL, "base_url 'nope' has no scheme"),
    (lambda c: strandel.Client(ca_pem="é"), ValueError, "ca_pem must be PEM text"),
    (lambda c: strandel.Client(ca_file=3), TypeError, "ca_file must be a path"),
    (lambda c: strandel.Client(timeout=strandel.Timeout(connect=1)), ValueError,
     "missing: read, write, pool"),
])
def test_bad_arguments_are_refused_before_the_core_sees_them(fake, call, cls, message):
    with strandel.Client() as client:
        engines = fake.call_count("hv_engine_create")
        with pytest.raises(cls) as info:
            call(client)
    assert type(info.value) is cls and message in str(info.value)
    assert fake.call_count("hv_request_create") == 0
    assert fake.call_count("hv_engine_create") == engines
    assert fake.call_count("hv_websocket_create") == 0


def test_a_streamed_body_yielding_a_non_bytes_piece_is_never_completed(fake):
    """Pieces are checked as they are sent: the request exists by then, and
    is cancelled before the body's end is written."""
    with strandel.Client() as client:
        with pytest.raises(TypeError, match="^content must yield bytes or str, not int$"):
            client.post(URL, content=_gen(b"a", 7))
    assert fake.call_count("hv_request_cancel") == 1


@pytest.mark.parametrize("given,expected", [
    (5, (5.0, 5.0, 5.0, 5.0)),
    (None, (None, None, None, None)),
    ((1, 5), (1.0, 5.0, 5.0, 1.0)),
    ((1, 2, 3, None), (1.0, 2.0, 3.0, None)),
    (strandel.Timeout(5, connect=1), (1.0, 5.0, 5.0, 5.0)),
    (strandel.Timeout(None, read=2), (None, 2.0, None, None)),
    (strandel.Timeout(connect=1, read=2, write=3, pool=4), (1.0, 2.0, 3.0, 4.0)),
])
def test_timeouts(given, expected):
    timeout = strandel.Timeout(given)
    assert timeout.as_tuple() == expected
    assert timeout == strandel.Timeout(timeout) and eval("strandel." + repr(timeout)) == timeout


def test_the_default_timeout_is_five_seconds():
    assert strandel.Client().timeout == strandel.Timeout(5.0) == strandel.DEFAULT_TIMEOUT


@pytest.mark.parametrize("given,disable_cache,mode,request_mode", [
    ({}, 0, None, 0), ({"cache": False}, 1, "no_store", 3),
    ({"cache": "no_store"}, 1, "no_store", 3), ({"cache": "validate"}, 0, "validate", 1),
])
def test_cache_means_one_thing(fake, given, disable_cache, mode, request_mode):
    """On a client: False or "no_store" turn the engine's cache off and are
    every request's mode; a request's own `cache` takes the same values."""
    client = strandel.Client(**given)
    assert (client.cache, fake.last_record("engine")["disable_cache"]) == (mode, disable_cache)
    fake.push_result(REQUEST_CREATE, 1)  # refused: nothing is sent
    for cache, code in [(strandel.USE_CLIENT_DEFAULT, request_mode), (False, 3), (True, 0),
                        ("force", 4)]:
        with pytest.raises(strandel.InvalidRequest):
            client.get(URL, cache=cache)
        assert fake.last_record("request")["cache_mode"] == code
        fake.push_result(REQUEST_CREATE, 1)


def test_one_call_functions_take_cache_as_a_request_does(fake):
    fake.push_result(REQUEST_CREATE, 1)
    with pytest.raises(strandel.InvalidRequest):
        strandel.get(URL, cache=False)
    assert (fake.last_record("engine")["disable_cache"],
            fake.last_record("request")["cache_mode"]) == (0, 3)


@pytest.mark.parametrize("content,size", [
    (b"abc", 3), ("é", 2), ([b"ab", "é"], 4), (io.BytesIO(b"12345"), 5), (_gen(b"a"), None),
    (io.StringIO("text"), None),
])
def test_body_sizes(tmp_path, content, size):
    assert _content.encode_body(content=content).size == size
    path = tmp_path / "f"
    path.write_bytes(b"x" * 10)
    with open(path, "rb") as f:
        f.read(4)
        assert _content.encode_body(content=f).size == 6


def _response():
    return strandel.Response(200, b"HTTP/1.1 200 OK\r\n\r\n",
                             request=strandel.Request("GET", URL), url=URL, content=b"abc")


def test_iter_raw_is_gone_with_a_reason():
    response = _response()
    with pytest.raises(AttributeError, match="undoes the Content-Encoding"):
        response.iter_raw()
    assert response.from_cache is False and response.extensions == {"cache_state": None}


@pytest.mark.parametrize("use,cls,message", [
    (lambda r: list(r.iter_bytes(0)), ValueError, "chunk_size must be > 0, not 0"),
    (lambda r: list(r.iter_text("2")), TypeError, "chunk_size must be int or None, not str"),
    (lambda r: setattr(r, "encoding", "klingon"), ValueError, "unknown encoding 'klingon'"),
    (lambda r: setattr(r, "encoding", None), TypeError, "encoding must be str, not NoneType"),
])
def test_response_arguments(use, cls, message):
    with pytest.raises(cls, match="^" + message + "$"):
        use(_response())


@pytest.mark.parametrize("flavour", ["whole", "stream", "async"])
def test_a_request_without_news_ends_in_a_read_timeout(fake, flavour):
    """Nothing scripted: the stand-in never answers, and the read bound ends
    the request in the Core."""
    import asyncio
    bound = strandel.Timeout(30, read=0.1)
    if flavour == "async":
        async def main():
            async with strandel.AsyncClient(timeout=bound) as client:
                await client.get(URL)
        with pytest.raises(strandel.ReadTimeout):
            asyncio.run(main())
    else:
        with strandel.Client(timeout=bound) as client, pytest.raises(strandel.ReadTimeout) as info:
            if flavour == "stream":
                with client.stream("GET", URL):
                    pass
            else:
                client.get(URL)
        assert str(info.value) == "read timed out: nothing of the response arrived for 0.1 s"
    assert fake.call_count("hv_request_cancel") == 1
