"""Failures arrive as the exception class of their cause, with the Core's
kind, the Chromium net error and the module's original text."""

import pytest

import servers


def refused(request):
    return {"url": f"http://127.0.0.1:{servers.free_port()}/"}


def timed_out(request):
    return {"url": request.getfixturevalue("peer").url("/stall-head"), "timeout": 0.5}


def wrong_name(request):
    return {"url": request.getfixturevalue("nginx").url("wrong_name", "/"),
            "client": {"ca_pem": request.getfixturevalue("ca_pem")}}


def proxy_down(request):
    return {"url": "http://127.0.0.1:9/", "client": {"proxy": f"http://127.0.0.1:{servers.free_port()}"}}


def proxy_refuses(request):
    proxy = request.getfixturevalue("proxy")
    return {"url": request.getfixturevalue("nginx").url("https", "/"),
            "client": {"proxy": proxy.url, "ca_pem": request.getfixturevalue("ca_pem")}}


def bad_gzip(request):
    return {"url": request.getfixturevalue("app").url("/gzip-bad")}


def truncated(request):
    return {"url": request.getfixturevalue("peer").url("/truncated-length")}


@pytest.mark.parametrize("case,cls,text", [
    (refused, "ConnectError", "Network (Chromium net error -102)"),
    (wrong_name, "TLSError", "Tls (Chromium net error -200)"),
    (proxy_down, "ProxyError", "Proxy (Chromium net error -130)"),
    (proxy_refuses, "ProxyError", "Proxy (Chromium net error -127)"),
    (bad_gzip, "DecodingError", "Network (Chromium net error -330)"),
    (truncated, "RemoteProtocolError", "Network (Chromium net error -354)"),
], ids=lambda v: getattr(v, "__name__", None))
def test_failure_classes(strandel, request, case, cls, text):
    setup = case(request)
    with strandel.Client(**setup.get("client", {})) as client:
        with pytest.raises(getattr(strandel, cls)) as info:
            client.get(setup["url"], timeout=setup.get("timeout", 30),
                       headers=setup.get("headers"))
    error = info.value
    assert type(error).__name__ == cls and isinstance(error, strandel.HTTPError)
    assert str(error) == text
    expected_net = int(text.split("error ")[1].rstrip(")")) if "(" in text else None
    assert (error.kind, error.net_error) == (text.split(" ")[0], expected_net)
    assert error.request.url == setup["url"]


@pytest.mark.parametrize("case,cls,text", [
    (timed_out, "ReadTimeout", "read timed out: nothing of the response arrived for 0.5 s"),
    (lambda request: {"url": "ftp://127.0.0.1/"}, "InvalidURL",
     "unsupported URL scheme 'ftp' in url 'ftp://127.0.0.1/' (use http, https)"),
    (lambda request: {"url": request.getfixturevalue("app").url("/echo"),
                      "headers": {"X-Big": "a" * (2 << 20)}}, "ValueError",
     "the request head (URL and headers) would be"),
], ids=["timed_out", "unsafe_url", "oversized_head"])
def test_failures_the_package_decides(strandel, request, case, cls, text):
    """The package's own timeouts, and what it refuses before the Core could."""
    setup = case(request)
    with strandel.Client() as client:
        with pytest.raises(getattr(strandel, cls, None) or ValueError) as info:
            client.get(setup["url"], timeout=setup.get("timeout", 30),
                       headers=setup.get("headers"))
    assert type(info.value).__name__ == cls and str(info.value).startswith(text)
    if isinstance(info.value, strandel.HTTPError):
        assert info.value.request.url == setup["url"]


def test_async_failure_class(strandel, run):
    async def main():
        async with strandel.AsyncClient() as client:
            await client.get(f"http://127.0.0.1:{servers.free_port()}/")

    with pytest.raises(strandel.ConnectError, match=r"^Network \(Chromium net error -102\)$"):
        run(main())


def test_engine_errors(strandel):
    with pytest.raises(strandel.HTTPError) as info:
        strandel.Client(impersonate="netscape_4")
    assert (str(info.value), info.value.kind, info.value.net_error) == \
        ("ProfileUnsupported", "ProfileUnsupported", None)
