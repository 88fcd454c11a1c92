"""Requests through tinyproxy with Basic authentication, and through https
proxies whose certificate fails."""

import json

import pytest

import certs
import servers
from ws_client import failure_text


def proxied(native, proxy, credentials=True, **kwargs):
    if credentials:
        kwargs.update(proxy_username=proxy.USER, proxy_password=proxy.PASSWORD)
    return native.PyEngine(proxy=proxy.url, **kwargs)


def test_plain_http_through_the_proxy(native, proxy, app):
    engine = proxied(native, proxy)
    request = engine.request("GET", app.url("/echo"))
    assert request.start_stream().status_code == 200
    echoed = json.loads(bytes(request.read_body()))
    assert echoed["path"] == "/echo"


def test_https_through_a_tunnel(native, proxy, nginx, ca_pem):
    engine = proxied(native, proxy, ca_pem=ca_pem)
    request = engine.request("GET", nginx.url("https", "/small.bin"))
    response = request.start_stream()
    assert response.headers.startswith(b"HTTP/2 200")
    assert b"Connection established" not in response.headers
    assert bytes(request.read_body()) == nginx.small


def test_tunnel_without_credentials(native, proxy, nginx, ca_pem):
    engine = proxied(native, proxy, credentials=False, ca_pem=ca_pem)
    with pytest.raises(RuntimeError, match=r"^Proxy \(Chromium net error -127\)$"):
        engine.request("GET", nginx.url("https", "/small.bin")).start_stream()


def test_plain_http_without_credentials_gets_the_proxy_answer(native, proxy, app):
    engine = proxied(native, proxy, credentials=False)
    assert engine.request("GET", app.url("/echo")).start_stream().status_code == 407


def test_tunnel_refused(native, proxy, ca_pem, app):
    # The proxy tunnels to nginx's TLS port only.
    engine = proxied(native, proxy, ca_pem=ca_pem)
    with pytest.raises(RuntimeError, match=r"^Proxy \(Chromium net error -111\)$"):
        engine.request("GET", app.url("/echo", tls=True)).start_stream()


@pytest.mark.parametrize("scheme", ["http", "socks5", "socks5h", "https"])
def test_proxy_unreachable(native, scheme, app):
    engine = native.PyEngine(proxy=f"{scheme}://127.0.0.1:{servers.free_port()}")
    with pytest.raises(RuntimeError, match=r"^Proxy \(Chromium net error -130\)$"):
        engine.request("GET", app.url("/echo")).start_stream()


@pytest.mark.parametrize("address", ["ftp://127.0.0.1:1", "127.0.0.1:8080", "http://"])
def test_proxy_address_must_be_a_proxy_url(native, address):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        native.PyEngine(proxy=address)


@pytest.fixture(scope="module")
def refused_proxies(trust, ws_servers_module):
    """https proxies whose certificate fails, by kind."""
    trustme = pytest.importorskip("trustme")
    ca, issued = trust
    made = {kind: ws_servers_module.TlsConnectProxy(cert) for kind, cert in {
        "expired": issued["expired"],
        "wrong_name": issued["wrong_name"],
        "untrusted": trustme.CA().issue_cert(servers.HOST),
        "forged": certs.issue(ca, forged=True),
    }.items()}
    yield made
    for proxy in made.values():
        proxy.stop()


@pytest.mark.parametrize("transport", ["https", "http", "ws"])
@pytest.mark.parametrize("kind,net_error", [
    ("expired", -201), ("wrong_name", -200), ("untrusted", -202), ("forged", -202),
])
def test_https_proxy_certificate_failures(native, refused_proxies, ca_pem, kind, net_error,
                                          transport):
    # Requests report what WebSockets report: the certificate's own error.
    proxy = refused_proxies[kind]
    engine = native.PyEngine(proxy=proxy.url, proxy_username=proxy.USER,
                             proxy_password=proxy.PASSWORD, ca_pem=ca_pem)
    url = f"{transport}://{servers.HOST}:{servers.free_port()}/"
    if transport == "ws":
        assert failure_text(engine, url) == f"Tls (Chromium net error {net_error}, response 0)"
    else:
        with pytest.raises(RuntimeError, match=rf"^Tls \(Chromium net error {net_error}\)$"):
            engine.request("GET", url).start_stream()
