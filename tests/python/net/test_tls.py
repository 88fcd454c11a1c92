"""Certificate verification modes against a server whose CA the tests made."""

import pytest


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
