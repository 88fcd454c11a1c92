"""wss:// against servers whose certificates a test CA issued: verification
by the engine's settings, as for requests."""

import pytest

from ws_client import events_until_end, failure_text, open_websocket


def test_wss_with_the_test_ca(tls_engine, wss_servers):
    server = wss_servers["good"]
    ws, _ = open_websocket(tls_engine, server.url("/echo?tls-close"))
    ws.send_bytes(b"\x00" * 70000)
    ws.send_text("over tls")
    assert [ws.recv()[:2] for _ in range(2)] == \
        [("binary", [0] * 70000), ("text", list(b"over tls"))]
    ws.close(1000, "tls done")
    assert events_until_end(ws)[-1] == ("closed", b"", 1000, "tls done")
    assert server.wait_closed("/echo?tls-close") == (1000, "tls done")


def test_wss_by_host_name(tls_engine, wss_servers):
    # The certificate names "localhost" too; SNI and the name check use it.
    ws, _ = open_websocket(tls_engine, wss_servers["good"].url("/echo", host="localhost"))
    ws.send_text("named")
    assert ws.recv()[:2] == ("text", list(b"named"))
    ws.close(1000, "")


@pytest.mark.parametrize("name,text", [
    ("wrong_name", "Tls (Chromium net error -200, response 0)"),
    ("expired", "Tls (Chromium net error -201, response 0)"),
])
def test_certificate_failures(tls_engine, wss_servers, name, text):
    assert failure_text(tls_engine, wss_servers[name].url("/echo")) == text


def test_system_store_does_not_know_the_test_ca(engine, wss_servers):
    assert failure_text(engine, wss_servers["good"].url("/echo")) == \
        "Tls (Chromium net error -202, response 0)"


def test_other_ca_is_not_trusted(native, wss_servers):
    trustme = pytest.importorskip("trustme")
    engine = native.PyEngine(ca_pem=trustme.CA().cert_pem.bytes())
    assert failure_text(engine, wss_servers["good"].url("/echo")) == \
        "Tls (Chromium net error -202, response 0)"


@pytest.mark.parametrize("name", ["good", "wrong_name", "expired"])
def test_disabled_verification_accepts_any_certificate(native, wss_servers, name):
    engine = native.PyEngine(verify=False)
    ws, _ = open_websocket(engine, wss_servers[name].url("/echo"))
    ws.send_text("unverified")
    assert ws.recv()[:2] == ("text", list(b"unverified"))
    ws.close(1000, "")


def test_tls_to_a_plain_server(tls_engine, ws_server):
    url = ws_server.url("/echo").replace("ws://", "wss://")
    assert failure_text(tls_engine, url) == "Tls (Chromium net error -107, response 0)"
