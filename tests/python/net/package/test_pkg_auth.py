"""auth=, cookies=, retries, the environment and event hooks of the package,
against the local servers."""

import asyncio
import json
import socket
import threading

import pytest

import peers
import servers


def sent(response):
    return response.json()


# ---- authentication ----------------------------------------------------------------

@pytest.mark.parametrize("client_auth, request_auth, status", [
    (None, ("user", "pass"), 200),
    (("user", "pass"), None, 401),  # auth=None turns the client's off
    (("user", "pass"), "default", 200),
    (("user", "wrong"), ("user", "pass"), 200),
    (None, ("user", "wrong"), 401),
])
def test_basic_auth(strandel, app, ca_pem, client_auth, request_auth, status):
    with strandel.Client(auth=client_auth) as client:
        kwargs = {} if request_auth == "default" else {"auth": request_auth}
        response = client.get(app.url("/basic-auth/user/pass"), **kwargs)
    assert response.status_code == status


@pytest.mark.parametrize("algorithm", ["MD5", "SHA-256", "SHA-512-256", "MD5-sess"])
def test_digest_auth(strandel, app, algorithm):
    auth = strandel.DigestAuth("user", "pass")
    url = app.url(f"/digest-auth/{algorithm}/user/pass")
    with strandel.Client() as client:
        first = client.get(url + "?a=1", auth=auth)
        second = client.post(url, content=b"body", auth=auth)
        wrong = client.get(url, auth=strandel.DigestAuth("user", "nope"))
    assert (first.status_code, first.json()) == (200, {"user": "user", "nc": 1})
    # The challenge known, the second request answers it at once.
    assert (second.status_code, second.json()["nc"]) == (200, 2)
    assert second.request.headers["authorization"].startswith("Digest ")
    assert wrong.status_code == 401


def test_digest_answers_a_stale_nonce_again(strandel, app, run):
    auth = strandel.DigestAuth("user", "pass")
    url = app.url("/digest-stale/user/pass")

    async def main():
        async with strandel.AsyncClient(auth=auth) as client:
            return [(await client.get(url)).status_code for _ in range(3)]

    assert run(main()) == [200, 200, 200]


def test_digest_with_a_streamed_body_fails_clearly(strandel, app):
    def body():
        yield b"part"

    with strandel.Client(auth=strandel.DigestAuth("user", "pass")) as client:
        with pytest.raises(strandel.StreamError, match="its body was a stream, spent"):
            client.post(app.url("/digest-auth/MD5/user/pass"), content=body())


def test_credentials_stay_with_their_origin(strandel, app):
    other = app.url("/auth-echo", host="localhost")
    with strandel.Client(auth=("user", "pass")) as client:
        away = client.get(app.url(f"/redirect?to={other}"))
        home = client.get(app.url("/redirect?to=/auth-echo"))
    assert away.json() == {"authorization": None}
    assert home.json()["authorization"].startswith("Basic ")


def test_callables_and_auth_flows(strandel, app, run):
    def bearer(request):
        request.headers["Authorization"] = "Bearer t0"
        return request

    class Refreshing(strandel.Auth):
        """Sends a token; on a 401 reads the body and sends again."""

        requires_response_body = True

        def auth_flow(self, request):
            request.headers["Authorization"] = "Basic " + "bad"
            response = yield request
            if response.status_code == 401:
                assert response.json() == {"user": None}
                request.headers["Authorization"] = strandel._auth.basic_auth_header("u", "p")
                yield request

    with strandel.Client(auth=bearer) as client:
        assert client.get(app.url("/auth-echo")).json() == {"authorization": "Bearer t0"}
        assert client.get(app.url("/basic-auth/u/p"), auth=Refreshing()).status_code == 200

    async def main():
        async with strandel.AsyncClient() as client:
            return (await client.get(app.url("/basic-auth/u/p"), auth=Refreshing())).json()

    assert run(main()) == {"user": "u"}


# ---- cookies -------------------------------------------------------------------------

def test_cookies_given_to_the_client_and_to_a_request(strandel, app):
    with strandel.Client(cookies={"client": "1", "both": "c"}) as client:
        response = client.get(app.url("/cookies"), cookies={"both": "r", "request": "2"})
        later = client.get(app.url("/cookies"), headers={"Cookie": "own=3"})
    assert response.json()["cookies"] == {"client": "1", "both": "r", "request": "2"}
    assert later.json()["cookies"] == {"own": "3", "client": "1", "both": "c"}


def test_client_cookies_go_with_a_websocket_handshake(strandel, ws_server):
    with strandel.Client(cookies={"client": "1"}) as client:
        with client.websocket(ws_server.url("/hello?cookies"), headers={"Cookie": "own=2"}) as ws:
            seen = json.loads(ws.receive_text())
    assert [v for k, v in seen["headers"] if k.lower() == "cookie"] == ["own=2; client=1"]


def test_response_cookies(strandel, app):
    response = strandel.get(app.url("/cookies/set?a=1&b=two"))
    assert dict(response.cookies.items()) == {"a": "1", "b": "two"}
    assert {c.domain for c in response.cookies.jar} == {"127.0.0.1"}


def test_client_cookies_view_the_jar(strandel, native, app):
    with strandel.Client() as client:
        client.get(app.url("/cookies/set?session=s1"))
        if "cookies" not in getattr(native, "core_extensions", frozenset()):
            with pytest.raises(NotImplementedError, match="this Core does not support cookies"):
                client.cookies["session"]
            pytest.skip("this Core has no cookie entries")
        assert client.cookies["session"] == "s1"
        assert [(c.domain, c.path) for c in client.cookies.jar] == [("127.0.0.1", "/")]
        client.cookies.set("added", "a", domain="127.0.0.1")
        assert client.get(app.url("/cookies")).json()["cookies"] == {"session": "s1",
                                                                     "added": "a"}
        client.cookies.delete("session")
        assert client.get(app.url("/cookies")).json()["cookies"] == {"added": "a"}
        client.cookies.clear()
        assert len(client.cookies) == 0
        assert client.get(app.url("/cookies")).json()["cookies"] == {}


# ---- retries -------------------------------------------------------------------------

class Flaky:
    """Resets the first `failures` connections, then answers."""

    def __init__(self, failures):
        self.failures = failures
        self.count = 0
        self.lock = threading.Lock()

        def serve(sock, head, rest):
            with self.lock:
                self.count += 1
                fail = self.count <= self.failures
            if fail:
                peers.reset(sock, head, rest)
            else:
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n"
                             b"\r\nok")

        self.server = servers.ScriptedServer({"/flaky": serve})


@pytest.mark.parametrize("method, retries, failures, ok, connections", [
    ("GET", 2, 2, True, 3),
    ("GET", 1, 2, False, 2),
    ("POST", 3, 1, False, 1),
    ("DELETE", 1, 1, True, 2),
])
@pytest.mark.parametrize("mode", ["sync", "async"])
def test_retries_of_connections_reset(strandel, method, retries, failures, ok, connections,
                                      mode):
    flaky = Flaky(failures)
    url = flaky.server.url("/flaky")
    try:
        if mode == "sync":
            def send():
                with strandel.Client(retries=retries) as client:
                    return client.request(method, url)
        else:
            def send():
                async def main():
                    async with strandel.AsyncClient(retries=retries) as client:
                        return await client.request(method, url)
                return asyncio.run(main())
        if ok:
            assert send().text == "ok"
        else:
            with pytest.raises(strandel.TransportError) as failure:
                send()
            assert failure.value.net_error in (-100, -101, -324)
        assert flaky.count == connections
    finally:
        flaky.server.stop()


def test_retries_of_a_tls_handshake_cut(strandel):
    """A server that takes each connection and closes it on the ClientHello."""
    listener = socket.create_server((servers.HOST, 0))
    accepted = []

    def serve():
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                return
            accepted.append(sock.recv(1024)[:1])  # 0x16: a TLS handshake record
            sock.close()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        with strandel.Client(retries=2) as client:
            with pytest.raises(strandel.TransportError) as failure:
                client.get(f"https://{servers.HOST}:{listener.getsockname()[1]}/")
        assert failure.value.net_error in (-100, -101, -107)
        assert accepted == [b"\x16"] * 3
    finally:
        listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        listener.close()
        thread.join()


# ---- environment ----------------------------------------------------------------------

class AnyPath(dict):
    def __init__(self, behaviour):
        super().__init__()
        self.behaviour = behaviour

    def __getitem__(self, path):
        return self.behaviour


@pytest.fixture
def fake_proxy():
    """Answers every request itself, keeping each request line."""
    lines = []

    def serve(sock, head, rest):
        lines.append(head.split("\r\n")[0])
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: close\r\n\r\nproxied")

    server = servers.ScriptedServer(AnyPath(serve))
    server.lines = lines
    yield server
    server.stop()


def test_proxies_from_the_environment(strandel, app, fake_proxy, monkeypatch):
    monkeypatch.setenv("HTTP_PROXY", fake_proxy.url(""))
    monkeypatch.setenv("NO_PROXY", "localhost")
    target = app.url("/echo")
    with strandel.Client() as client:
        assert client.get(target).text == "proxied"
        direct = client.get(app.url("/echo", host="localhost"))
    assert direct.json()["path"] == "/echo"
    assert fake_proxy.lines == [f"GET {target} HTTP/1.1"]
    with strandel.Client(trust_env=False) as client:
        assert client.get(target).json()["path"] == "/echo"
    assert strandel.get(target, trust_env=False).json()["path"] == "/echo"


def test_ca_bundle_from_the_environment(strandel, app, ca_pem, tmp_path, monkeypatch):
    (tmp_path / "ca.pem").write_bytes(ca_pem)
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "ca.pem"))
    url = app.url("/echo", tls=True)
    with strandel.Client() as client:
        assert client.get(url).status_code == 200
    with strandel.Client(trust_env=False) as client:
        with pytest.raises(strandel.TLSError):
            client.get(url)


# ---- event hooks -------------------------------------------------------------------------

def test_event_hooks(strandel, app, run):
    seen = []

    def stamp(request):
        request.headers["X-Hooked"] = "yes"
        seen.append(("request", request.url))

    def check(response):
        # The head is here, the body not read yet.
        seen.append(("response", response.status_code, response.is_closed))
        response.raise_for_status()

    with strandel.Client(event_hooks={"request": [stamp], "response": [check]}) as client:
        echoed = client.get(app.url("/echo")).json()
        with pytest.raises(strandel.HTTPStatusError):
            client.get(app.url("/missing"))
        client.event_hooks = {"request": []}
        assert client.event_hooks == {"request": [], "response": []}
    assert ["x-hooked", "yes"] in echoed["headers"]
    assert seen == [("request", app.url("/echo")), ("response", 200, False),
                    ("request", app.url("/missing")), ("response", 404, False)]

    async def main():
        async def log(response):
            await asyncio.sleep(0)
            seen.append(("async", response.status_code))

        async with strandel.AsyncClient(event_hooks={"response": [log]}) as client:
            return await client.get(app.url("/echo"))

    assert run(main()).json()["path"] == "/echo" and seen[-1] == ("async", 200)
