"""The package's authentication, cookies, retries, environment and hooks as
pure logic: Digest answers against RFC 7616's examples, the flow around
exchanges (scripted here, no network), cookie mappings and headers, the
environment's proxies and CA bundle."""

import asyncio
import base64
import types

import pytest

from strandel_package import strandel
from strandel import _auth, _cookies, _env, _flow, _hooks, _retry
from strandel._content import Encoded
from strandel._errors import error_from_text

# ---- Digest -----------------------------------------------------------------------

RFC_CHALLENGE = ('Digest realm="http-auth@example.org", qop="auth, auth-int", '
                 'algorithm={}, nonce="7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", '
                 'opaque="FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS"')
RFC_CNONCE = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ"


@pytest.mark.parametrize("algorithm, response", [
    # RFC 7616 section 3.9.1.
    ("MD5", "8ca523f5e9506fed4657c9700eebdbec"),
    ("SHA-256", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"),
])
def test_digest_answers_the_rfc_examples(algorithm, response):
    challenge = _auth.parse_challenge(RFC_CHALLENGE.format(algorithm))
    header = _auth.digest_response(challenge, b"Mufasa", b"Circle of Life", "GET",
                                   "/dir/index.html", 1, RFC_CNONCE)
    fields = dict(part.split("=", 1) for part in header[len("Digest "):].split(", "))
    assert fields == {
        "username": '"Mufasa"', "realm": '"http-auth@example.org"',
        "nonce": '"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v"', "uri": '"/dir/index.html"',
        "response": f'"{response}"', "algorithm": algorithm,
        "opaque": '"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS"', "qop": "auth",
        "nc": "00000001", "cnonce": f'"{RFC_CNONCE}"'}


@pytest.mark.parametrize("header, expected", [
    ('Digest nonce="n", realm="r"', ("r", "n", "MD5", False, None, None, False)),
    ('digest Realm="a \\"b\\"", NONCE=n, qop="auth-int,auth", algorithm=sha-256-sess',
     ('a "b"', "n", "SHA-256", True, None, "auth", False)),
    ('Digest nonce="n", algorithm=SHA-512-256, userhash=true, opaque=""',
     ("", "n", "SHA-512-256", False, "", None, True)),
    ('Digest realm="r"', None),  # no nonce
    ('Digest nonce="n", qop="auth-int"', None),  # the body would have to be hashed
    ('Digest nonce="n", algorithm=SHA-1', None),
    ('Basic realm="r"', None),
])
def test_digest_challenges_parse(header, expected):
    assert _auth.parse_challenge(header) == (
        None if expected is None else _auth.DigestChallenge(*expected))


def test_a_session_algorithm_and_userhash_change_the_answer():
    plain = _auth.parse_challenge('Digest nonce="n", realm="r", qop=auth')
    answers = {_auth.digest_response(c, b"u", b"p", "GET", "/", 1, "c")
               for c in (plain, plain._replace(session=True), plain._replace(userhash=True))}
    assert len(answers) == 3
    hashed = _auth.digest_response(plain._replace(userhash=True), b"u", b"p", "GET", "/", 1, "c")
    assert 'username="' + __import__("hashlib").md5(b"u:r").hexdigest() + '"' in hashed


@pytest.mark.parametrize("given, kind, error", [
    (("user", "pass"), strandel.BasicAuth, None),
    ((b"user", b"pass"), strandel.BasicAuth, None),
    (strandel.DigestAuth("u", "p"), strandel.DigestAuth, None),
    (lambda request: request, strandel.FunctionAuth, None),
    (None, type(None), None),
    (("user",), None, ValueError),
    (("user", 1), None, TypeError),
    (("us:er", "p"), None, ValueError),
    ("user:pass", None, TypeError),
])
def test_auth_arguments(given, kind, error):
    if error is not None:
        with pytest.raises(error):
            _auth.as_auth(given)
    else:
        assert type(_auth.as_auth(given)) is kind


def test_an_auth_callable_must_return_the_request():
    with pytest.raises(TypeError, match="must return the request, not NoneType"):
        next(strandel.FunctionAuth(lambda request: None).sync_auth_flow(
            strandel.Request("GET", "http://h/")))


def test_basic_auth_header_is_utf8():
    assert _auth.basic_auth_header("jürgen", "pä:ss") == \
        "Basic " + base64.b64encode("jürgen:pä:ss".encode()).decode()


def test_netrc_auth(tmp_path):
    (tmp_path / "netrc").write_text("machine a.org login user password pass\n"
                                    "machine b.org login only\n")
    auth = strandel.NetRCAuth(tmp_path / "netrc")
    headers = {}
    for url in ("http://a.org/x", "https://B.org/", "http://c.org/"):
        request = next(auth.sync_auth_flow(strandel.Request("GET", url)))
        headers[url] = request.headers.get("authorization")
    assert headers == {"http://a.org/x": _auth.basic_auth_header("user", "pass"),
                       "https://B.org/": None, "http://c.org/": None}


# ---- the flow around exchanges ----------------------------------------------------------

class Script:
    """Exchanges whose outcomes are given in turn: a Response (status, head
    lines) or an exception raised before any response."""

    def __init__(self, *outcomes):
        self.outcomes = list(outcomes)
        self.sent = []  # (method, url, headers) of each send

    def start(self, request, encoded):
        outcome = self.outcomes.pop(0)
        self.sent.append((request.method, request.url, request.headers.copy()))
        exchange = types.SimpleNamespace(_state=types.SimpleNamespace(head=None, stopped_at=None))

        def send(stream):
            if isinstance(outcome, BaseException):
                raise outcome
            status, lines = outcome
            exchange._state.head = status
            head = "\r\n".join([f"HTTP/1.1 {status} X"] + lines + ["", ""]).encode()
            return strandel.Response(status, head, request=request, url=request.url,
                                     content=b"body")

        async def asend(stream):
            return send(stream)

        exchange.send = send if not getattr(self, "is_async", False) else asend
        return exchange


def flow(script, auth=None, hooks=None, retries=0, is_async=False):
    script.is_async = is_async
    return _flow.Flow(script.start, auth=_auth.as_auth(auth),
                      hooks=_hooks.as_event_hooks(hooks), retries=retries)


def run(flow_, request, encoded, is_async):
    if is_async:
        return asyncio.run(flow_.send_async(request, encoded, False))
    return flow_.send_sync(request, encoded, False)


DIGEST_401 = (401, ['WWW-Authenticate: Basic realm="x"',
                    'WWW-Authenticate: Digest realm="r", nonce="n1", qop="auth"'])


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_digest_answers_once_then_reuses_the_challenge(is_async):
    auth = strandel.DigestAuth("u", "p")
    script = Script(DIGEST_401, (200, []), (200, []), DIGEST_401, (401, []))
    f = flow(script, auth, is_async=is_async)
    assert run(f, strandel.Request("GET", "http://h/a?q=1"), Encoded(), is_async).status_code \
        == 200
    # Known challenge: sent at once, the nonce counted on.
    assert run(f, strandel.Request("GET", "http://h/b"), Encoded(), is_async).status_code \
        == 200
    # Our answer to n1 refused: the same challenge is not answered again.
    assert run(f, strandel.Request("GET", "http://h/c"), Encoded(), is_async).status_code \
        == 401
    auths = [headers.get("authorization") for _, _, headers in script.sent]
    assert auths[0] is None and 'uri="/a?q=1"' in auths[1] and "nc=00000001" in auths[1]
    assert "nc=00000002" in auths[2] and 'uri="/b"' in auths[2]
    assert "nc=00000003" in auths[3] and len(script.sent) == 4


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_a_spent_stream_is_not_sent_again_for_a_challenge(is_async):
    script = Script(DIGEST_401, (200, []))
    f = flow(script, strandel.DigestAuth("u", "p"), is_async=is_async)
    with pytest.raises(strandel.StreamError, match="its body was a stream, spent on the first"):
        run(f, strandel.Request("POST", "http://h/"), Encoded(stream=iter([b"x"])), is_async)
    assert len(script.sent) == 1


def test_an_auth_reading_the_request_body_refuses_a_stream():
    class Signing(strandel.Auth):
        requires_request_body = True

        def auth_flow(self, request):
            request.headers["X-Sig"] = str(len(request.content or b""))
            yield request

    script = Script((200, []), (200, []))
    f = flow(script, Signing())
    run(f, strandel.Request("POST", "http://h/", content=b"abc"), Encoded(whole=b"abc"), False)
    assert script.sent[0][2]["x-sig"] == "3"
    run(f, strandel.Request("GET", "http://h/"), Encoded(), False)  # no body at all
    assert script.sent[1][2]["x-sig"] == "0"
    with pytest.raises(strandel.StreamError, match="Signing reads the request body"):
        run(f, strandel.Request("POST", "http://h/"), Encoded(stream=iter([b"x"])), False)


def connect_failure(net_error):
    return error_from_text(f"Network (Chromium net error {net_error})")


@pytest.mark.parametrize("method, encoded, failures, retries, sends, ok", [
    ("GET", Encoded(), [-102, -101], 2, 3, True),
    ("GET", Encoded(), [-102, -102, -102], 2, 3, False),  # out of retries
    ("PUT", Encoded(whole=b"x"), [-324], 1, 2, True),  # a body given whole is sent again
    ("POST", Encoded(), [-102], 3, 1, False),  # not idempotent
    ("PUT", Encoded(stream=iter([b"x"])), [-102], 3, 1, False),  # a stream is spent
    ("GET", Encoded(), [-105], 3, 1, False),  # a name not resolved: not a connect failure
    ("GET", Encoded(), [-102], 0, 1, False),
])
@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_retries(monkeypatch, method, encoded, failures, retries, sends, ok, is_async):
    pauses = []
    monkeypatch.setattr(_flow.time, "sleep", pauses.append)

    async def no_wait(seconds):
        pauses.append(seconds)

    monkeypatch.setattr(_flow.asyncio, "sleep", no_wait)
    script = Script(*[connect_failure(n) for n in failures], (200, []))
    f = flow(script, retries=retries, is_async=is_async)
    if ok:
        assert run(f, strandel.Request(method, "http://h/"), encoded, is_async).status_code \
            == 200
    else:
        with pytest.raises(strandel.HTTPError):
            run(f, strandel.Request(method, "http://h/"), encoded, is_async)
    assert len(script.sent) == sends
    assert pauses == [0.05, 0.1, 0.2][:sends - 1]


def test_no_retry_once_a_response_began():
    assert _retry.retry_pause(connect_failure(-101), method="GET", replayable=True,
                              responded=True, attempt=0, retries=3) is None
    assert [_retry.retry_pause(connect_failure(-102), method="get", replayable=True,
                               responded=False, attempt=a, retries=9) for a in (0, 4, 5, 8)] \
        == [0.05, 0.8, 1.0, 1.0]


@pytest.mark.parametrize("value, error", [(-1, ValueError), (1.5, TypeError), (True, TypeError)])
def test_retries_argument(value, error):
    with pytest.raises(error):
        _retry.check_retries(value)


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_hooks_run_in_order_around_each_send(is_async):
    seen = []

    def on_request(request):
        seen.append(("request", request.headers.get("authorization")))

    async def on_response_async(response):
        seen.append(("response", response.status_code))

    def on_response(response):
        seen.append(("response", response.status_code))

    hooks = {"request": [on_request],
             "response": [on_response_async if is_async else on_response]}
    script = Script(DIGEST_401, (200, []))
    f = flow(script, strandel.DigestAuth("u", "p"), hooks, is_async=is_async)
    run(f, strandel.Request("GET", "http://h/"), Encoded(), is_async)
    assert [kind for kind, _ in seen] == ["request", "response", "request", "response"]
    assert seen[0][1] is None and seen[2][1].startswith("Digest ")
    assert [value for kind, value in seen if kind == "response"] == [401, 200]


def test_a_blocking_client_refuses_a_coroutine_hook():
    async def hook(request):
        pass

    f = flow(Script((200, [])), hooks={"request": [hook]})
    with pytest.raises(TypeError, match="a blocking Client cannot await it"):
        run(f, strandel.Request("GET", "http://h/"), Encoded(), False)


@pytest.mark.parametrize("given, error", [
    ({"request": print}, TypeError), ({"sent": []}, ValueError), ({"response": [1]}, TypeError),
    ([], TypeError)])
def test_event_hooks_argument(given, error):
    with pytest.raises(error):
        _hooks.as_event_hooks(given)


# ---- cookies ----------------------------------------------------------------------------

def test_cookies_mapping():
    c = strandel.Cookies({"a": "1"})
    c.set("a", "2", domain="example.org")
    c.set("b", "3", domain="example.org", path="/x")
    assert len(c) == 3 and sorted(c) == ["a", "a", "b"] and "b" in c
    with pytest.raises(strandel.CookieConflict):
        c["a"]
    assert (c.get("a", domain=""), c.get("a", domain="example.org"), c.get("z", "d")) == \
        ("1", "2", "d")
    c.delete("a", domain="example.org")
    assert c["a"] == "1" and c.items() == [("a", "1"), ("b", "3")]
    c.clear(domain="example.org")
    assert list(c) == ["a"]
    del c["a"]
    assert not c and strandel.Cookies([("x", "1"), ("y", "2")]).items() == [("x", "1"), ("y", "2")]


@pytest.mark.parametrize("name, value, error", [
    ("a b", "1", ValueError), ("a", "1;2", ValueError), ("a", "x\r\n", ValueError),
    (1, "1", TypeError), ("a", None, TypeError), ("", "1", ValueError)])
def test_bad_cookies_are_refused(name, value, error):
    with pytest.raises(error):
        strandel.Cookies().set(name, value)


@pytest.mark.parametrize("existing, groups, header", [
    (None, [], None),
    ("own=0", [], "own=0"),
    (None, [{"a": "1"}, {"b": "2"}], "a=1; b=2"),
    ("own=0", [{"a": "1", "b": "1"}, {"a": "2"}], "own=0; b=1; a=2"),
])
def test_cookie_header(existing, groups, header):
    assert _cookies.cookie_header(existing, *map(strandel.Cookies, groups)) == header


def test_set_cookie_headers_become_cookies():
    jar = _cookies.response_cookies(
        ["a=1; Path=/; HttpOnly", 'b="q"; Domain=.Example.org; Secure; Path=/p', "broken",
         "c=; path=relative"], "https://www.example.org/x")
    assert [tuple(c)[:6] + (c.host_only,) for c in jar.jar] == [
        ("a", "1", "www.example.org", "/", False, True, True),
        ("b", "q", "example.org", "/p", True, False, False),
        ("c", "", "www.example.org", "/", False, False, True)]


class FakeJar:
    """An engine's cookie entries, as the Core keeps them."""

    def __init__(self):
        self.entries = []

    def cookies(self):
        return list(self.entries)

    def set_cookie(self, name, value, domain, path="/", secure=False, http_only=False,
                   expires=None, host_only=False):
        if domain == "refused.example":
            raise ValueError("cookie refused: public suffix")
        self.delete_cookies(domain, path, name)
        self.entries.append((name, value, domain, path, secure, http_only, expires, host_only))

    def delete_cookies(self, domain=None, path=None, name=None):
        keep = [e for e in self.entries
                if not ((domain is None or e[2] == domain) and (path is None or e[3] == path)
                        and (name is None or e[0] == name))]
        gone, self.entries = len(self.entries) - len(keep), keep
        return gone


def test_client_cookies_view_the_jars_of_every_engine():
    first, second = FakeJar(), FakeJar()
    view = _cookies.ClientCookies(lambda: [first, second], {"everywhere": "1"})
    view.set("s", "v", domain="example.org")
    view.set("sub", "w", domain=".example.org", path="/p")
    second.entries.append(("only", "2", "other.org", "/", True, False, 99.0, True))
    assert first.entries[0][7] is True and first.entries[1][2:4] == ("example.org", "/p")
    assert first.entries[1][7] is False and second.entries[:2] == first.entries
    assert sorted(view) == ["everywhere", "only", "s", "sub"] and view["only"] == "2"
    assert [c for c in view.jar if c.name == "only"][0].expires == 99.0
    with pytest.raises(ValueError, match="cookie refused: public suffix"):
        view.set("x", "1", domain="refused.example")
    view.delete("s")
    assert "s" not in view and "everywhere" in view
    view.clear(domain="other.org")
    assert sorted(view) == ["everywhere", "sub"]
    view.clear()
    assert len(view) == 0 and not first.entries


def test_client_cookies_without_the_jar_entries_say_so():
    view = _cookies.ClientCookies(lambda: [object()], {"a": "1"})
    assert view.everywhere()["a"] == "1"
    for use in (lambda: len(view), lambda: view["a"], lambda: view.set("b", "1", domain="x.org"),
                lambda: view.clear()):
        with pytest.raises(NotImplementedError, match="^this Core does not support cookies$"):
            use()


# ---- environment --------------------------------------------------------------------------

@pytest.mark.parametrize("environ, url, proxy", [
    ({}, "http://a.org/", None),
    ({"HTTP_PROXY": "p:1"}, "http://a.org/", "http://p:1"),
    ({"HTTP_PROXY": "http://p:1"}, "https://a.org/", None),
    ({"HTTPS_PROXY": "http://s:2", "ALL_PROXY": "http://all:3"}, "https://a.org/", "http://s:2"),
    ({"HTTPS_PROXY": "http://s:2", "ALL_PROXY": "http://all:3"}, "http://a.org/",
     "http://all:3"),
    ({"HTTP_PROXY": "http://upper:1", "http_proxy": "http://lower:1"}, "http://a.org/",
     "http://lower:1"),
    ({"http_proxy": "http://p:1", "HTTP_PROXY": "http://q:1", "REQUEST_METHOD": "GET"},
     "http://a.org/", "http://p:1"),
    ({"HTTP_PROXY": "http://p:1", "REQUEST_METHOD": "GET"}, "http://a.org/", None),
    ({"ALL_PROXY": "socks5://s:1"}, "ws://a.org/", "socks5://s:1"),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "*"}, "http://a.org/", None),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "a.org"}, "http://a.org/", None),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "a.org"}, "http://x.a.org/", None),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "a.org"}, "http://xa.org/", "http://p:1"),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": ".a.org"}, "http://a.org/", "http://p:1"),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": ".a.org"}, "http://x.a.org/", None),
    ({"ALL_PROXY": "http://p:1", "no_proxy": "b.org, localhost:8000"}, "http://localhost/",
     None),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "10.0.0.0/8,::1"}, "http://10.1.2.3/", None),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "10.0.0.0/8,::1"}, "http://[::1]:80/", None),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "10.0.0.0/8"}, "http://11.1.2.3/", "http://p:1"),
    ({"ALL_PROXY": "http://p:1", "NO_PROXY": "A.ORG"}, "http://a.org./", None),
])
def test_environment_proxies(environ, url, proxy):
    found = _env.env_proxies(environ)
    assert (found.for_url(url) if found else None) == proxy


def test_environment_ca_bundle(tmp_path):
    pem = b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"
    (tmp_path / "one.pem").write_bytes(pem)
    (tmp_path / "two.0").write_bytes(pem.replace(b"AAAA", b"BBBB").rstrip(b"\n"))
    (tmp_path / "readme").write_bytes(b"not a certificate")
    (tmp_path / "3a1b.0").symlink_to(tmp_path / "one.pem")  # as c_rehash links it
    assert _env.env_ca_pem({}) is None
    assert _env.env_ca_pem({"SSL_CERT_FILE": str(tmp_path / "one.pem"),
                            "SSL_CERT_DIR": str(tmp_path)}) == pem
    assert _env.env_ca_pem({"SSL_CERT_DIR": str(tmp_path)}) == \
        pem + pem.replace(b"AAAA", b"BBBB")
    with pytest.raises(FileNotFoundError):
        _env.env_ca_pem({"SSL_CERT_FILE": str(tmp_path / "missing.pem")})


def test_a_client_takes_the_environment_unless_told_not_to(native, monkeypatch, tmp_path):
    monkeypatch.setenv("HTTPS_PROXY", "http://u:p@proxy.invalid:3128")
    monkeypatch.setenv("NO_PROXY", "direct.invalid")
    client = strandel.Client()
    assert client._engine_for("https://a.invalid/") is client._engine
    assert client._engine_for("http://direct.invalid/") is not client._engine
    assert len(client._all_engines()) == 2
    assert strandel.Client(trust_env=False)._routes is None
    monkeypatch.setenv("https_proxy", "http://u:secret@[bad")
    with pytest.raises(ValueError, match=r"^the proxy 'http://\[bad' of the environment "
                                         r"variable https_proxy was refused \(.*\); fix it, "
                                         r"or pass trust_env=False$"):
        strandel.Client()
    assert _env.env_proxies({"https_proxy": "s:1", "HTTP_PROXY": "h:2"}).sources == \
        {"http://s:1": "https_proxy", "http://h:2": "HTTP_PROXY"}
    assert strandel.Client(proxy="http://given:1")._routes is None
