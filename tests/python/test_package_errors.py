"""The strandel package's error mapping: the decoder of the native module's
error texts, the class each text raises, and ValueError for option values
the native module refuses."""

import re
from pathlib import Path

import pytest

from strandel_package import REQUEST_CREATE, strandel
from strandel import _codes, _errors

ROOT = Path(__file__).resolve().parents[2]
URL = "http://127.0.0.1/"


def cxx_array(path, name):
    return re.search(name + r"\[\] = \{(.*?)\};", (ROOT / path).read_text(), re.DOTALL).group(1)


def test_the_tables_mirror_the_core_and_the_native_module():
    abi = (ROOT / "include" / "halvane" / "hv_abi.h").read_text()
    results = {name: int(value) for name, value in
               re.findall(r"^#define HV_(OK|ERR_\w+) (\d+)$", abi, re.MULTILINE)}
    ok = _codes.CoreResult.OK
    assert {"OK" if c is ok else f"ERR_{c.name}": int(c) for c in _codes.CoreResult} == results
    # The Core's codes from 1 in order, then the client layer's own kinds.
    kinds = re.findall(r'"(\w+)"', cxx_array("src/client/error.cpp", "kNames"))
    core_kinds = [c.kind for c in _codes.CoreResult if c is not ok]
    assert kinds[:len(core_kinds)] == core_kinds
    assert set(kinds[len(core_kinds):]) == _codes.CLIENT_KINDS | {"Native"}
    for path, array, names in [
            ("src/python/module/py_engine_request.cpp", "kCacheModes", _codes.CACHE_MODES),
            ("src/python/module/py_engine_request.cpp", "kPriorities", _codes.PRIORITIES),
            ("src/python/module/engine_options.cpp", "kHttpVersions", _codes.HTTP_VERSIONS)]:
        assert set(re.findall(r'\{"([^"]+)",', cxx_array(path, array))) == names, array


@pytest.mark.parametrize("text,cls,kind,net_error,response_code", [
    ("Network (Chromium net error -102)", "ConnectError", "Network", -102, None),
    ("Network (Chromium net error -105)", "ConnectError", "Network", -105, None),
    ("Network (Chromium net error -800)", "ConnectError", "Network", -800, None),
    ("Network (Chromium net error -101)", "ReadError", "Network", -101, None),
    ("Network (Chromium net error -354)", "RemoteProtocolError", "Network", -354, None),
    ("Network (Chromium net error -358)", "ConnectError", "Network", -358, None),
    ("Protocol (Chromium net error -356)", "RemoteProtocolError", "Protocol", -356, None),
    ("Network (Chromium net error -330)", "DecodingError", "Network", -330, None),
    ("Timeout (Chromium net error -7)", "TimeoutException", "Timeout", -7, None),
    ("Tls (Chromium net error -200)", "TLSError", "Tls", -200, None),
    ("Proxy (Chromium net error -130)", "ProxyError", "Proxy", -130, None),
    ("Protocol (Chromium net error -145, response 0)", "RemoteProtocolError", "Protocol", -145, 0),
    ("Redirect (Chromium net error -310)", "TooManyRedirects", "Redirect", -310, None),
    ("Redirect (Chromium net error -311)", "RedirectError", "Redirect", -311, None),
    ("CacheMiss (Chromium net error -400)", "CacheMiss", "CacheMiss", -400, None),
    ("Canceled (Chromium net error -3)", "TransportError", "Canceled", -3, None),
    ("InvalidArgument", "InvalidRequest", "InvalidArgument", None, None),
    ("ProfileUnsupported", "HTTPError", "ProfileUnsupported", None, None),
    ("InvalidState", "HTTPError", "InvalidState", None, None),
    ("BufferLimit (Chromium net error 0, response 0)", "HTTPError", "BufferLimit", 0, 0),
    ("native error 16", "HTTPError", None, None, None),
    ("native error -3 (Chromium net error -310)", "HTTPError", None, -310, None),
    # Outside the grammar: the text, unchanged, and nothing decoded.
    ("something unforeseen (42)", "HTTPError", None, None, None),
    ("Networks (Chromium net error -105)", "HTTPError", None, None, None),
    ("Network (Chromium net error +105)", "HTTPError", None, None, None),
    ("Network (Chromium net error -1 05)", "HTTPError", None, None, None),
    ("Network (Chromium net error -105", "HTTPError", None, None, None),
    ("Protocol (Chromium net error -145, response )", "HTTPError", None, None, None),
    ("native error", "HTTPError", None, None, None),
    ("", "HTTPError", None, None, None),
])
def test_text_to_exception(text, cls, kind, net_error, response_code):
    error = _errors.error_from_text(text)
    assert type(error) is getattr(strandel, cls)
    assert (str(error), error.args, error.kind, error.net_error, error.response_code) == \
        (text, (text,), kind, net_error, response_code)
    failure = _errors.decode(text)
    if failure is not None:
        assert _errors.encode(failure) == text


@pytest.mark.parametrize("text,cls", [
    ("Protocol (Chromium net error -145, response 0)", "RemoteProtocolError"),
    ("InvalidState", "WebSocketError"),
    ("BufferLimit (Chromium net error 0, response 0)", "WebSocketError"),
    ("something unforeseen", "WebSocketError"),
])
def test_websocket_failures_no_rule_names_are_websocket_errors(text, cls):
    assert type(_errors.error_from_text(text, websocket=True)) is getattr(strandel, cls)


def test_an_error_the_package_decides_reads_as_the_cores():
    error = _errors.core_error(_codes.CoreResult.REDIRECT, _codes.NetError.TOO_MANY_REDIRECTS)
    assert type(error) is strandel.TooManyRedirects
    assert (str(error), error.kind, error.net_error) == \
        ("Redirect (Chromium net error -310)", "Redirect", -310)
    assert type(error.net_error) is int


@pytest.mark.parametrize("text,cls", [
    ("Network (Chromium net error -118)", "ConnectTimeout"),
    ("Timeout (Chromium net error -118)", "ConnectTimeout"),
    ("Network (Chromium net error -14)", "LocalProtocolError"),
])
def test_timeout_and_protocol_classes(text, cls):
    assert type(_errors.error_from_text(text)) is getattr(strandel, cls)


@pytest.mark.parametrize("cls,bases", [
    ("ConnectTimeout", ("TimeoutException",)), ("ReadTimeout", ("TimeoutException",)),
    ("WriteTimeout", ("TimeoutException",)), ("PoolTimeout", ("TimeoutException",)),
    ("TimeoutException", ("TransportError",)), ("LocalProtocolError", ("ProtocolError",)),
    ("RemoteProtocolError", ("ProtocolError",)), ("ProtocolError", ("TransportError",)),
    ("StreamError", ("HTTPError",)),
])
def test_the_exception_tree_is_httpxs(cls, bases):
    for base in bases:
        assert issubclass(getattr(strandel, cls), getattr(strandel, base))
    # Every error but InvalidURL and CookieConflict (an argument's and a
    # lookup's, as in httpx) is an HTTPError.
    for name in strandel.__all__:
        value = getattr(strandel, name)
        if isinstance(value, type) and issubclass(value, Exception):
            assert issubclass(value, strandel.HTTPError) != (name in ("InvalidURL", "CookieConflict")), name
    assert issubclass(strandel.StreamError, RuntimeError)


def test_the_cores_refusal_is_not_a_value_error(fake):
    fake.push_result(REQUEST_CREATE, _codes.CoreResult.INVALID_ARGUMENT)
    with strandel.Client() as client, pytest.raises(strandel.InvalidRequest) as info:
        client.get(URL, cache="bypass", priority="low", timeout=1)
    assert str(info.value) == "InvalidArgument" and info.value.request.url == URL
