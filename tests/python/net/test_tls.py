"""Certificate verification modes against a server whose CA the tests made,
and the rules requests and WebSockets share: what a certificate must show,
whose TLS sessions are resumed, how a host name goes out."""

import json
import socketserver
import ssl
import threading

import pytest

import certs
import servers
from ws_client import open_websocket


def outcome(engine, url):
    request = engine.request("GET", url)
    try:
        response = request.start_stream()
    except RuntimeError as error:
        return str(error)
    request.read_body()
    return response.status_code


UNKNOWN_ISSUER = "Tls (Chromium net error -202)"


def test_default_uses_the_system_store(native, nginx):
    assert outcome(native.PyEngine(), nginx.url("https", "/small.bin")) == UNKNOWN_ISSUER


def test_custom_ca_trusts_the_bundle(native, nginx, ca_pem):
    assert outcome(native.PyEngine(ca_pem=ca_pem), nginx.url("https", "/small.bin")) == 200


def test_custom_ca_trusts_only_the_bundle(native, nginx):
    trustme = pytest.importorskip("trustme")
    other = trustme.CA().cert_pem.bytes()
    assert outcome(native.PyEngine(ca_pem=other), nginx.url("https", "/small.bin")) == \
        UNKNOWN_ISSUER


def test_bundle_with_several_certificates(native, nginx, ca_pem):
    trustme = pytest.importorskip("trustme")
    bundle = trustme.CA().cert_pem.bytes() + b"\n" + ca_pem
    assert outcome(native.PyEngine(ca_pem=bundle), nginx.url("https", "/small.bin")) == 200


def test_empty_bundle_trusts_nothing(native, nginx):
    assert outcome(native.PyEngine(ca_pem=b""), nginx.url("https", "/small.bin")) == \
        UNKNOWN_ISSUER


@pytest.mark.parametrize("bundle", [b"not a certificate", b"-----BEGIN CERTIFICATE-----\nxx\n"])
def test_bundle_without_a_certificate_is_refused(native, bundle):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        native.PyEngine(ca_pem=bundle)


@pytest.mark.parametrize("kind", ["https", "wrong_name", "expired"])
def test_disabled_verifies_nothing(native, nginx, kind):
    engine = native.PyEngine(verify=False, ca_pem=b"ignored, not parsed")
    status = outcome(engine, nginx.url(kind, "/small.bin"))
    assert status in (200, 404)  # the two odd servers have no files


def test_app_over_tls_negotiates_http2(native, app, ca_pem):
    import json

    engine = native.PyEngine(ca_pem=ca_pem)
    request = engine.request("GET", app.url("/echo", tls=True))
    assert request.start_stream().headers.startswith(b"HTTP/2 200")
    assert json.loads(bytes(request.read_body()))["http_version"] == "2"


# ---- the same rules for requests and WebSockets ---------------------------------------

class TlsServer:
    """HTTPS on 127.0.0.1: every request gets 200 "ok" on a kept-alive
    connection. Kept: whether each connection resumed a session (`resumed`),
    and the request heads (`heads`)."""

    def __init__(self, context):
        self.resumed, self.heads = [], []
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                try:
                    with context.wrap_socket(self.request, server_side=True) as tls:
                        outer.resumed.append(tls.session_reused)
                        while True:
                            head, _ = servers.read_head(tls)
                            if head is None:
                                return
                            outer.heads.append(head)
                            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
                except (OSError, ssl.SSLError):
                    pass

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True

        self.server = Server((servers.HOST, 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path, host=servers.HOST):
        return f"https://{host}:{self.port}{path}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def recording_names(context):
    """The list into which `context` puts the server name of each handshake."""
    names = []
    context.sni_callback = lambda _sock, name, _context: names.append(name)
    return names


def attempt(engine, server, host):
    """200 or "open" when the connection got through, else the failure text."""
    if isinstance(server, TlsServer):
        return outcome(engine, server.url("/", host=host))
    ws = engine.websocket(server.url("/echo", host=host))
    ws.connect()
    kind, _data, _code, text = ws.recv()
    if kind == "open":
        ws.close(1000, "")
        return "open"
    return text


def refusal(transport, net_error):
    suffix = ")" if transport == "https" else ", response 0)"
    return f"Tls (Chromium net error {net_error}{suffix}"


@pytest.fixture(scope="module")
def refused_servers(trust, ws_servers_module):
    """An https and a wss server for each refused certificate, by kind."""
    made = {}
    for kind, cert in certs.make_refused_certificates(trust[0]).items():
        made[kind] = {"https": TlsServer(certs.server_context(cert, legacy=True)),
                      "wss": ws_servers_module.WsServer(certs.server_context(cert, legacy=True))}
    yield made
    for pair in made.values():
        for server in pair.values():
            server.stop()


REFUSED = [  # kind, the host the URL names, net error
    ("no_san_name", "localhost", -200),
    ("no_san_address", servers.HOST, -200),
    ("uri_san_only", servers.HOST, -200),
    ("sha1", servers.HOST, -208),
    ("rsa_768", servers.HOST, -211),
    ("forged", servers.HOST, -202),
]
TRANSPORTS = ["https", "wss"]


@pytest.mark.parametrize("profile", [None, "chrome_131", "firefox_133", "safari_18"])
@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("kind,host,net_error", REFUSED)
def test_certificates_browsers_refuse(native, ca_pem, refused_servers, kind, host, net_error,
                                      transport, profile):
    engine = native.PyEngine(ca_pem=ca_pem, **({"impersonate": profile} if profile else {}))
    assert attempt(engine, refused_servers[kind][transport], host) == \
        refusal(transport, net_error)


@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("kind,host,net_error", REFUSED)
def test_unverified_engines_accept_them(native, refused_servers, kind, host, net_error,
                                        transport):
    engine = native.PyEngine(verify=False)
    assert attempt(engine, refused_servers[kind][transport], host) == \
        (200 if transport == "https" else "open")


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_a_trusted_leaf_is_a_chain_of_its_own(native, trust, ws_servers_module, transport):
    # Both transports build chains alike: a trusted certificate ends one,
    # root or not.
    leaf = trust[1]["good"]
    context = certs.server_context(leaf)
    server = TlsServer(context) if transport == "https" else ws_servers_module.WsServer(context)
    try:
        engine = native.PyEngine(ca_pem=leaf.cert_chain_pems[0].bytes())
        assert attempt(engine, server, servers.HOST) == (200 if transport == "https" else "open")
    finally:
        server.stop()


@pytest.mark.parametrize("version", ["TLSv1_2", "TLSv1_3"])
@pytest.mark.parametrize("first,second,expected", [
    ({"ca_pem": "ca"}, {"ca_pem": "ca"}, 200),
    ({"ca_pem": "ca"}, {"ca_pem": "other"}, UNKNOWN_ISSUER),
    ({"ca_pem": "ca"}, {"ca_pem": "empty"}, UNKNOWN_ISSUER),
    ({"verify": False}, {"ca_pem": "other"}, UNKNOWN_ISSUER),
], ids=["same-bundle", "other-bundle", "empty-bundle", "unverified-first"])
def test_namespace_sessions_resume_only_under_the_same_trust(native, trust, ca_pem, namespace,
                                                             version, first, second, expected):
    trustme = pytest.importorskip("trustme")
    bundles = {"ca": ca_pem, "other": trustme.CA().cert_pem.bytes(), "empty": b""}
    context = certs.server_context(trust[1]["good"])
    context.maximum_version = getattr(ssl.TLSVersion, version)
    server = TlsServer(context)
    try:
        def engine(options):
            options = {k: bundles[v] if k == "ca_pem" else v for k, v in options.items()}
            return native.PyEngine(profile_namespace=namespace, **options)

        # The first engine lives on: the server forgets a TLS 1.2 session
        # whose connection ended without a close alert.
        kept = engine(first)
        assert outcome(kept, server.url("/")) == 200
        assert outcome(engine(second), server.url("/")) == expected
        # The second handshake resumed the first one's session only where
        # it trusts the same certificates.
        assert server.resumed == [False] + ([True] if expected == 200 else [])
    finally:
        server.stop()


@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("host,sent,sni", [
    ("bücher.test", "xn--bcher-kva.test", "xn--bcher-kva.test"),
    ("localhost.", "localhost.", "localhost"),
])
def test_host_names_go_out_as_requests_send_them(native, trust, ws_servers_module, transport,
                                                 host, sent, sni):
    # No name is resolved here: the proxy takes any to 127.0.0.1.
    context = certs.server_context(certs.issue(trust[0], names=("xn--bcher-kva.test",
                                                                 "localhost")))
    names = recording_names(context)
    server = TlsServer(context) if transport == "https" else ws_servers_module.WsServer(context)
    proxy = ws_servers_module.AnyNameConnectProxy()
    try:
        engine = native.PyEngine(proxy=proxy.url, ca_pem=trust[0].cert_pem.bytes())
        if transport == "https":
            assert outcome(engine, server.url("/", host=host)) == 200
            fields = [line.split(": ", 1) for line in server.heads[0].split("\r\n")[1:]]
        else:
            ws, _ = open_websocket(engine, server.url("/hello", host=host))
            fields = json.loads(bytes(ws.recv()[1]))["headers"]
            ws.close(1000, "")
        assert proxy.targets == [f"{sent}:{server.port}"]
        assert names == [sni]
        assert [v for k, v in fields if k.lower() == "host"] == [f"{sent}:{server.port}"]
    finally:
        server.stop()
        proxy.stop()
