"""WebSockets through proxies: an HTTP CONNECT tunnel (tinyproxy for http
proxies, a small TLS proxy for https proxies, both with Basic credentials)
and SOCKS5 with user name and password."""

import json

import pytest

import servers
from ws_client import events_until_end, failure_text, open_websocket


def echo_once(ws, text):
    ws.send_text(text)
    assert ws.recv()[:2] == ("text", list(text.encode()))


@pytest.mark.parametrize("secure", [False, True], ids=["ws", "wss"])
def test_tunnel_through_an_http_proxy(native, ws_proxy, ws_server, wss_servers, ca_pem, secure):
    engine = native.PyEngine(proxy=ws_proxy.url, proxy_username=ws_proxy.USER,
                             proxy_password=ws_proxy.PASSWORD, ca_pem=ca_pem,
                             user_agent="through/1")
    server = wss_servers["good"] if secure else ws_server
    ws, _ = open_websocket(engine, server.url(f"/hello?proxied={secure}"))
    seen = json.loads(bytes(ws.recv()[1]))
    # The handshake inside the tunnel is the client's own.
    assert ["User-Agent", "through/1"] in seen["headers"]
    assert not any(k.lower().startswith("proxy-") for k, _ in seen["headers"])
    echo_once(ws, "through the tunnel")
    ws.close(1000, "bye")
    assert events_until_end(ws)[-1] == ("closed", b"", 1000, "bye")


def test_credentials_in_the_proxy_url(native, ws_proxy, ws_server):
    url = ws_proxy.url.replace("http://", f"http://{ws_proxy.USER}:{ws_proxy.PASSWORD}@")
    ws, _ = open_websocket(native.PyEngine(proxy=url), ws_server.url("/echo"))
    echo_once(ws, "url credentials")
    ws.close(1000, "")


def test_tunnel_without_credentials(native, ws_proxy, ws_server):
    engine = native.PyEngine(proxy=ws_proxy.url)
    assert failure_text(engine, ws_server.url("/echo")) == \
        "Proxy (Chromium net error -127, response 0)"


def test_tunnel_refused(native, ws_proxy, ws_servers_module):
    # tinyproxy tunnels to the test servers' ports only.
    engine = native.PyEngine(proxy=ws_proxy.url, proxy_username=ws_proxy.USER,
                             proxy_password=ws_proxy.PASSWORD)
    url = f"ws://127.0.0.1:{servers.free_port()}/"
    assert failure_text(engine, url) == "Proxy (Chromium net error -111, response 0)"


def test_tunnel_through_an_https_proxy(native, tls_proxy, wss_servers, ca_pem):
    engine = native.PyEngine(proxy=tls_proxy.url, proxy_username=tls_proxy.USER,
                             proxy_password=tls_proxy.PASSWORD, ca_pem=ca_pem)
    before = tls_proxy.tunnels
    ws, _ = open_websocket(engine, wss_servers["good"].url("/echo"))
    echo_once(ws, "tls in tls")
    ws.close(1000, "")
    assert events_until_end(ws)[-1][0] == "closed"
    assert tls_proxy.tunnels == before + 1


def test_https_proxy_certificate_is_verified(native, tls_proxy, ws_server):
    engine = native.PyEngine(proxy=tls_proxy.url, proxy_username=tls_proxy.USER,
                             proxy_password=tls_proxy.PASSWORD)
    assert failure_text(engine, ws_server.url("/echo")) == \
        "Tls (Chromium net error -202, response 0)"


@pytest.mark.parametrize("scheme", ["http", "https", "socks5", "socks5h"])
def test_proxy_unreachable(native, ws_server, scheme):
    engine = native.PyEngine(proxy=f"{scheme}://127.0.0.1:{servers.free_port()}")
    assert failure_text(engine, ws_server.url("/echo")) == \
        "Proxy (Chromium net error -130, response 0)"


@pytest.mark.parametrize("scheme,kind,host", [
    ("socks5h", 3, "localhost"),  # the proxy resolves the name
    ("socks5", 1, "127.0.0.1"),   # the name is resolved here
])
def test_socks5(native, socks_proxy, ws_server, scheme, kind, host):
    engine = native.PyEngine(proxy=socks_proxy.url(scheme), proxy_username=socks_proxy.USER,
                             proxy_password=socks_proxy.PASSWORD)
    ws, _ = open_websocket(engine, ws_server.url(f"/echo?{scheme}", host="localhost"))
    echo_once(ws, "socks")
    ws.close(1000, "")
    assert socks_proxy.requests[-1] == (kind, host)


def test_socks5_wrong_password(native, socks_proxy, ws_server):
    engine = native.PyEngine(proxy=socks_proxy.url("socks5h"), proxy_username=socks_proxy.USER,
                             proxy_password="wrong")
    assert failure_text(engine, ws_server.url("/echo")) == \
        "Proxy (Chromium net error -130, response 0)"
