"""The engine's cookie jar as WebSocket handshakes and requests share it: one
rule for public suffixes and for secure loopback origins, and one bound on
the jar, whichever of them sets the cookies."""

from __future__ import annotations

import json
import sqlite3

import pytest

import servers
from cache_server import Resp, fetch
from ws_client import events_until_end, open_websocket

HOST = servers.HOST
NO_STORE = ("Cache-Control", "no-store")


@pytest.fixture(scope="session")
def cookie_ws(ws_servers_module):
    class CookieWsServer(ws_servers_module.WsServer):
        """Answers a handshake with the Set-Cookie fields given for its path
        in `set_cookies`."""

        def __init__(self):
            self.set_cookies = {}
            super().__init__()

        def _process_response(self, connection, request, response):
            for value in self.set_cookies.get(request.path, ()):
                response.headers["Set-Cookie"] = value
            return response

    server = CookieWsServer()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def any_name_proxy(ws_servers_module):
    server = ws_servers_module.AnyNameConnectProxy()
    yield server
    server.stop()


def handshake(engine, server, url_path, host=HOST, set_cookies=()):
    """Opens a WebSocket to `host` on `server` (answering with `set_cookies`)
    and returns the Cookie fields the server received."""
    server.set_cookies[url_path] = list(set_cookies)
    ws, _ = open_websocket(engine, server.url(url_path, host=host))
    seen = json.loads(bytes(ws.recv()[1]))  # /hello: what the server saw
    ws.close(1000, "")
    events_until_end(ws)
    return [v for k, v in seen["headers"] if k.lower() == "cookie"]


def names(cookie_fields):
    return [part.split("=")[0] for field in cookie_fields for part in field.split("; ")]


def http_sets(engine, origin, set_cookies):
    path = origin.new_path("set")
    origin.script(path, Resp(headers=[NO_STORE] + [("Set-Cookie", c) for c in set_cookies]))
    assert fetch(engine, origin.url(path)).error is None


def http_sends(engine, origin):
    path = origin.new_path("echo")
    origin.script(path, Resp(headers=[NO_STORE]))
    assert fetch(engine, origin.url(path)).error is None
    return origin.requests(path)[-1].header("cookie")


def test_handshakes_refuse_cookies_for_public_suffixes(native, cookie_ws, any_name_proxy):
    engine = native.PyEngine(proxy=any_name_proxy.url)
    handshake(engine, cookie_ws, "/hello?uk", "a.co.uk",
              ["wide=1; Domain=co.uk", "site=2; Domain=a.co.uk"])
    handshake(engine, cookie_ws, "/hello?io", "a.github.io", ["hosted=3; Domain=github.io"])
    sent = {host: handshake(engine, cookie_ws, f"/hello?to-{host}", host)
            for host in ("b.co.uk", "www.a.co.uk", "b.github.io")}
    assert sent == {"b.co.uk": [], "www.a.co.uk": ["site=2"], "b.github.io": []}


@pytest.mark.parametrize("setter", ["http", "ws"])
def test_a_secure_cookie_from_loopback_goes_to_both(native, cookie_ws, origin, setter):
    # 127.0.0.1 is a secure origin over http:// and ws:// alike.
    engine = native.PyEngine()
    secure = ["s=1; Secure; Path=/"]
    if setter == "http":
        http_sets(engine, origin, secure)
    else:
        handshake(engine, cookie_ws, f"/hello?secure-{setter}", set_cookies=secure)
    assert handshake(engine, cookie_ws, f"/hello?secure-sent-{setter}") == ["s=1"]
    assert http_sends(engine, origin) == "s=1"


def test_a_handshake_takes_fifty_cookies_as_a_response_does(native, cookie_ws):
    engine = native.PyEngine()
    handshake(engine, cookie_ws, "/hello?ninety",
              set_cookies=[f"c{i}=1; Path=/" for i in range(90)])
    sent = names(handshake(engine, cookie_ws, "/hello?fifty"))
    assert sorted(sent) == sorted(f"c{i}" for i in range(50))


@pytest.mark.parametrize("in_namespace", [False, True], ids=["engine", "namespace"])
@pytest.mark.parametrize("setter", ["http", "ws"])
def test_a_site_keeps_its_newest_180_cookies(native, cookie_ws, origin, namespace, state,
                                             setter, in_namespace):
    engine = native.PyEngine(profile_namespace=namespace if in_namespace else None)
    for response in range(4):
        cookies = [f"c{n}=1; Path=/; Max-Age=3600" for n in range(response * 50, response * 50 + 50)]
        if setter == "http":
            http_sets(engine, origin, cookies)
        else:
            handshake(engine, cookie_ws, f"/hello?{setter}-{in_namespace}-{response}",
                      set_cookies=cookies)
    sent = names(handshake(engine, cookie_ws, f"/hello?bounded-{setter}-{in_namespace}"))
    assert sorted(sent) == sorted(f"c{n}" for n in range(20, 200))
    if in_namespace:
        # The cookies that went are gone from the namespace's database too.
        db = state / "halvane" / "profiles" / f"{namespace}.sqlite3"
        connection = sqlite3.connect(db)
        try:
            (stored,) = connection.execute("SELECT COUNT(*) FROM cookies").fetchone()
        finally:
            connection.close()
        assert stored == 180
