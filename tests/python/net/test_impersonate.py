"""Browser identity profiles: what a request and a WebSocket handshake look
like on the wire under each profile, measured by the fingerprinting server.

The expected values are the browsers' own, as IANA code points, header lines
and fingerprints (the newest of each family as measured from the reference
client's capture), apart from what the Core's TLS library does not write:
Firefox's extension order, the draft post-quantum group of Chrome 124 - 130,
and TLS 1.0/1.1 in Safari's supported versions (never offered).
docs/impersonation.md lists them. In a build on the system's
OpenSSL the ClientHello checks are skipped.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from fingerprint_server import CODED_TEXT, FingerprintServer, is_grease
from ws_client import open_websocket

TLS13 = [0x1301, 0x1302, 0x1303]
CHROME_CIPHERS = TLS13 + [0xC02B, 0xC02F, 0xC02C, 0xC030, 0xCCA9, 0xCCA8, 0xC013, 0xC014,
                          0x009C, 0x009D, 0x002F, 0x0035]
CHROME_SIGALGS = [0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601]
FIREFOX_CIPHERS = [0x1301, 0x1303, 0x1302, 0xC02B, 0xC02F, 0xCCA9, 0xCCA8, 0xC02C, 0xC030,
                   0xC00A, 0xC009, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035]
FIREFOX_SIGALGS = [0x0403, 0x0503, 0x0603, 0x0804, 0x0805, 0x0806, 0x0401, 0x0501, 0x0601,
                   0x0203, 0x0201]
SAFARI_CIPHERS = TLS13 + [0xC02C, 0xC02B, 0xCCA9, 0xC030, 0xC02F, 0xCCA8, 0xC00A, 0xC009,
                          0xC014, 0xC013, 0x009D, 0x009C, 0x0035, 0x002F, 0xC008, 0xC012,
                          0x000A]
SAFARI_17_SIGALGS = [0x0403, 0x0804, 0x0401, 0x0503, 0x0203, 0x0805, 0x0805, 0x0501, 0x0806,
                     0x0601, 0x0201]
SAFARI_18_SIGALGS = [0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0805, 0x0501, 0x0806, 0x0601,
                     0x0201]

# Extensions, GREASE left out. Chrome's are permuted per connection; Safari's
# come in this order.
CHROME_116_EXTENSIONS = {0, 5, 10, 11, 13, 16, 18, 21, 23, 27, 35, 43, 45, 51, 17513, 65281}
CHROME_EXTENSIONS = CHROME_116_EXTENSIONS - {21} | {65037}
FIREFOX_115_EXTENSIONS = {0, 5, 10, 11, 13, 16, 21, 23, 28, 34, 35, 43, 45, 51, 65281}
FIREFOX_EXTENSIONS = FIREFOX_115_EXTENSIONS - {21} | {27, 65037}
SAFARI_EXTENSIONS = [0, 23, 65281, 10, 11, 16, 5, 13, 18, 51, 45, 43, 27, 21]

CHROME_H2 = "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p"
FIREFOX_H2 = "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s"
SAFARI_17_H2 = "4:4194304;3:100|10485760|0|m,s,p,a"
SAFARI_18_H2 = "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p"
PSEUDO_NAMES = {"m": ":method", "a": ":authority", "s": ":scheme", "p": ":path"}

# The browsers' published JA4 (Chrome 117 - 123 and Safari 18 exactly; Chrome
# 124 on differs only in its post-quantum group, which JA4 does not see).
CHROME_116_JA4 = "t13d1516h2_8daaf6152771_e5627efa2ab1"
CHROME_JA4 = "t13d1516h2_8daaf6152771_02713d6af862"
SAFARI_18_JA4 = "t13d2014h2_a09f3c656075_e42f34c56612"

CHROME_ACCEPT = ("text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
                 "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7")
MAC = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "


def chromium_headers(brands, ua, encoding, priority):
    return [
        ("sec-ch-ua", brands), ("sec-ch-ua-mobile", "?0"), ("sec-ch-ua-platform", '"macOS"'),
        ("upgrade-insecure-requests", "1"), ("user-agent", ua), ("accept", CHROME_ACCEPT),
        ("sec-fetch-site", "none"), ("sec-fetch-mode", "navigate"), ("sec-fetch-user", "?1"),
        ("sec-fetch-dest", "document"), ("accept-encoding", encoding),
        ("accept-language", "en-US,en;q=0.9"),
    ] + ([("priority", "u=0, i")] if priority else [])


def chrome_ua(major):
    return (MAC + f"AppleWebKit/537.36 (KHTML, like Gecko) Chrome/{major}.0.0.0 Safari/537.36")


def firefox_headers(major, accept, encoding, priority, language="en-US,en;q=0.5"):
    return [
        ("user-agent", f"Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:{major}.0) "
                       f"Gecko/20100101 Firefox/{major}.0"),
        ("accept", accept), ("accept-language", language), ("accept-encoding", encoding),
        ("upgrade-insecure-requests", "1"), ("sec-fetch-dest", "document"),
        ("sec-fetch-mode", "navigate"), ("sec-fetch-site", "none"), ("sec-fetch-user", "?1"),
    ] + ([("priority", "u=0, i")] if priority else []) + [("te", "trailers")]


SAFARI_ACCEPT = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"


def safari17_headers(ua):
    return [("accept", SAFARI_ACCEPT), ("sec-fetch-site", "none"),
            ("accept-encoding", "gzip, deflate, br"), ("sec-fetch-mode", "navigate"),
            ("user-agent", ua), ("accept-language", "en-US,en;q=0.9"),
            ("sec-fetch-dest", "document")]


def safari18_headers(ua):
    return [("sec-fetch-dest", "document"), ("user-agent", ua), ("accept", SAFARI_ACCEPT),
            ("sec-fetch-site", "none"), ("sec-fetch-mode", "navigate"),
            ("accept-language", "en-US,en;q=0.9"), ("priority", "u=0, i"),
            ("accept-encoding", "gzip, deflate, br")]


def safari26_headers(ua, iphone):
    return [("sec-fetch-dest", "document"), ("user-agent", ua), ("accept", SAFARI_ACCEPT),
            ("sec-fetch-site", "same-origin"), ("sec-fetch-mode", "navigate"),
            ("accept-language", "en-US,en;q=0.9"), ("priority", "u=0, i"),
            ("accept-encoding", "gzip, deflate, br, zstd")] + (
        [("upgrade-insecure-requests", "1")] if iphone else [])


SAFARI_MAC_UA = MAC + "AppleWebKit/605.1.15 (KHTML, like Gecko) Version/{v} Safari/605.1.15"
SAFARI_IOS_UA = ("Mozilla/5.0 (iPhone; CPU iPhone OS {u} like Mac OS X) AppleWebKit/605.1.15 "
                 "(KHTML, like Gecko) Version/{v} Mobile/15E148 Safari/604.1")

class Hello:
    """What a profile's ClientHello must carry."""

    def __init__(self, ciphers, sigalgs, groups, extensions, grease, h2, ja4=None,
                 key_shares=None):
        self.ciphers, self.sigalgs, self.groups = ciphers, sigalgs, groups
        self.extensions, self.grease, self.h2, self.ja4 = extensions, grease, h2, ja4
        self.key_shares = key_shares


CHROME_116 = Hello(CHROME_CIPHERS, CHROME_SIGALGS, [29, 23, 24], CHROME_116_EXTENSIONS, True,
                   CHROME_H2, CHROME_116_JA4)
CHROME = Hello(CHROME_CIPHERS, CHROME_SIGALGS, [29, 23, 24], CHROME_EXTENSIONS, True,
               CHROME_H2, CHROME_JA4)
FIREFOX_115 = Hello(FIREFOX_CIPHERS, FIREFOX_SIGALGS, [29, 23, 24, 25, 256, 257],
                    FIREFOX_115_EXTENSIONS, False, FIREFOX_H2, key_shares=[29, 23])
SAFARI_17 = Hello(SAFARI_CIPHERS, SAFARI_17_SIGALGS, [29, 23, 24, 25], SAFARI_EXTENSIONS, True,
                  SAFARI_17_H2)
SAFARI_18 = Hello(SAFARI_CIPHERS, SAFARI_18_SIGALGS, [29, 23, 24, 25], SAFARI_EXTENSIONS, True,
                  SAFARI_18_H2, SAFARI_18_JA4)

# The newest of each family, as the reference client's captures show them
# (docs/impersonation.md): the post-quantum group first, with its key share.
PQ = 0x11EC
CHROME_131 = Hello(CHROME_CIPHERS, CHROME_SIGALGS, [PQ, 29, 23, 24], CHROME_EXTENSIONS, True,
                   CHROME_H2, CHROME_JA4, [PQ, 29])
CHROME_133 = Hello(CHROME_CIPHERS, CHROME_SIGALGS, [PQ, 29, 23, 24],
                   CHROME_EXTENSIONS - {17513} | {17613}, True, CHROME_H2, key_shares=[PQ, 29])
CHROME_152 = Hello(CHROME_CIPHERS, [0x0904, 0x0905, 0x0906] + CHROME_SIGALGS, [PQ, 29, 23, 24],
                   CHROME_133.extensions | {51764}, True, CHROME_H2,
                   "t13d1517h2_8daaf6152771_cb7bf5808d99", [PQ, 29])
FIREFOX = Hello(FIREFOX_CIPHERS, FIREFOX_SIGALGS, [PQ, 29, 23, 24, 25, 256, 257],
                FIREFOX_EXTENSIONS, False, FIREFOX_H2, "t13d1716h2_5b57614c22b0_eeeea6562960",
                [PQ, 29, 23])
FIREFOX_147 = Hello(FIREFOX_CIPHERS, FIREFOX_SIGALGS, FIREFOX.groups,
                    FIREFOX.extensions | {18}, False, FIREFOX_H2,
                    "t13d1717h2_5b57614c22b0_3cbfd9057e0d", [PQ, 29, 23])
SAFARI_26 = Hello([0x1302, 0x1303, 0x1301] + SAFARI_CIPHERS[3:], SAFARI_18_SIGALGS,
                  [PQ, 29, 23, 24, 25], SAFARI_EXTENSIONS[:-1], True,
                  "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p",
                  "t13d2013h2_a09f3c656075_7f0f34a4126d", [PQ, 29])


def chrome152_headers(brands, ua):
    return chromium_headers(brands, ua, "gzip, deflate, br, zstd", True) + [
        ("cache-control", "max-age=0")]


# name: (HTTP/2 headers, ClientHello)
PROFILES = {
    "chrome_110": (chromium_headers(
        '"Chromium";v="110", "Not A(Brand";v="24", "Google Chrome";v="110"',
        chrome_ua(110), "gzip, deflate, br", False), CHROME_116),
    "chrome_120": (chromium_headers(
        '"Not_A Brand";v="8", "Chromium";v="120", "Google Chrome";v="120"',
        chrome_ua(120), "gzip, deflate, br", False), CHROME),
    "chrome_123": (chromium_headers(
        '"Google Chrome";v="123", "Not:A-Brand";v="8", "Chromium";v="123"',
        chrome_ua(123), "gzip, deflate, br, zstd", False), CHROME),
    "chrome_124": (chromium_headers(
        '"Chromium";v="124", "Google Chrome";v="124", "Not-A.Brand";v="99"',
        chrome_ua(124), "gzip, deflate, br, zstd", True), CHROME),
    "chrome_131": (chromium_headers(
        '"Google Chrome";v="131", "Chromium";v="131", "Not_A Brand";v="24"',
        chrome_ua(131), "gzip, deflate, br, zstd", True), CHROME_131),
    "chrome_133": (chromium_headers(
        '"Not(A:Brand";v="99", "Google Chrome";v="133", "Chromium";v="133"',
        chrome_ua(133), "gzip, deflate, br, zstd", True), CHROME_133),
    "chrome": (chrome152_headers(
        '"Chromium";v="152", "Not?A_Brand";v="24", "Google Chrome";v="152"', chrome_ua(152)),
        CHROME_152),
    "edge": (chrome152_headers(
        '"Chromium";v="152", "Not?A_Brand";v="24", "Microsoft Edge";v="152"',
        chrome_ua(152) + " Edg/152.0.0.0"), CHROME_152),
    "edge_116": (chromium_headers(
        '"Chromium";v="116", "Not)A;Brand";v="24", "Microsoft Edge";v="116"',
        chrome_ua(116) + " Edg/116.0.0.0", "gzip, deflate, br", False), CHROME_116),
    "edge_131": (chromium_headers(
        '"Microsoft Edge";v="131", "Chromium";v="131", "Not_A Brand";v="24"',
        chrome_ua(131) + " Edg/131.0.0.0", "gzip, deflate, br, zstd", True), CHROME_131),
    "firefox_115": (firefox_headers(
        115, "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
             "*/*;q=0.8", "gzip, deflate, br", False), FIREFOX_115),
    "firefox_133": (firefox_headers(133, SAFARI_ACCEPT, "gzip, deflate, br, zstd", True),
                    FIREFOX),
    "firefox_134": (firefox_headers(134, SAFARI_ACCEPT, "gzip, deflate, br, zstd", True),
                    FIREFOX),
    "firefox_147": (firefox_headers(147, SAFARI_ACCEPT, "gzip, deflate, br, zstd", True,
                                    "en-US,en;q=0.9"), FIREFOX_147),
    "firefox": (firefox_headers(155, SAFARI_ACCEPT, "gzip, deflate, br, zstd", True,
                                "en-US,en;q=0.9"), FIREFOX_147),
    "safari_17": (safari17_headers(SAFARI_MAC_UA.format(v="17.0")), SAFARI_17),
    "safari_18": (safari18_headers(SAFARI_MAC_UA.format(v="18.0")), SAFARI_18),
    "safari_26": (safari26_headers(SAFARI_MAC_UA.format(v="26.0"), False), SAFARI_26),
    "safari": (safari26_headers(SAFARI_MAC_UA.format(v="27.0"), False), SAFARI_26),
    "safari_ios_16": (safari17_headers(SAFARI_IOS_UA.format(u="16_6", v="16.6")), SAFARI_17),
    "safari_ios_18": (safari18_headers(SAFARI_IOS_UA.format(u="18_0", v="18.0")), SAFARI_18),
    "safari_ios_26": (safari26_headers(SAFARI_IOS_UA.format(u="18_6", v="26.0"), True),
                      SAFARI_26),
    "safari_ios": (safari26_headers(SAFARI_IOS_UA.format(u="18_7", v="27.0"), True), SAFARI_26),
}


@pytest.fixture(scope="session")
def fingerprints(trust):
    server = FingerprintServer(trust[1]["good"])
    yield server
    server.stop()


def url_of(server, path="/", scheme="https"):
    # A name, not an address, so that the ClientHello carries a server name.
    return f"{scheme}://localhost:{server.port}{path}"


def fetch(engine, url, **kwargs):
    request = engine.request("GET", url, **kwargs)
    request.start()
    response = request.await_response()
    return response, bytes(request.read_body())


def record_of(engine, url, **kwargs):
    response, body = fetch(engine, url, **kwargs)
    assert response.status_code == 200
    return json.loads(body)


def uses_own_tls(native):
    return "AWS-LC/" in (native.PyEngine.core_version() or "")


@pytest.fixture
def own_tls(native):
    if not uses_own_tls(native):
        pytest.skip("the ClientHello and HTTP/2 checks need the Core's own AWS-LC and libcurl")


def plain(values):
    return [v for v in values if not is_grease(v)]


def check_hello(tls, hello, alpn, extensions=None):
    assert is_grease(tls["ciphers"][0]) == hello.grease
    assert plain(tls["ciphers"]) == hello.ciphers
    assert tls["sigalgs"] == hello.sigalgs
    assert plain(tls["groups"]) == hello.groups
    assert plain(tls["versions"]) == [0x0304, 0x0303]
    assert tls["alpn"] == alpn
    if hello.key_shares is not None:
        assert plain(tls["key_share"]) == hello.key_shares
    expected = hello.extensions if extensions is None else extensions
    sent = plain(tls["extensions"])
    if isinstance(expected, list):  # a fixed order
        assert sent == expected
    else:
        assert sorted(sent) == sorted(expected)


@pytest.mark.parametrize("name", PROFILES)
def test_profile_fingerprint(native, ca_pem, fingerprints, own_tls, name):
    headers, hello = PROFILES[name]
    record = record_of(native.PyEngine(impersonate=name, ca_pem=ca_pem), url_of(fingerprints))
    tls, http = record["tls"], record["http"]
    assert http["version"] == "2"
    assert [tuple(h) for h in http["headers"]] == headers
    assert http["akamai"] == hello.h2
    assert http["pseudo"] == [PSEUDO_NAMES[c] for c in hello.h2.split("|")[-1].split(",")]
    check_hello(tls, hello, ["h2", "http/1.1"])
    if hello.ja4:
        assert tls["ja4"] == hello.ja4
    assert tls["sni"] == "localhost"


def test_families_differ_and_no_profile_stays_plain(native, ca_pem, fingerprints):
    def fingerprint(**options):
        record = record_of(native.PyEngine(ca_pem=ca_pem, **options), url_of(fingerprints))
        return (record["tls"]["ja3"], record["tls"]["ja4"],
                [name for name, _ in record["http"]["headers"]])

    chrome, firefox, plain = (fingerprint(impersonate="chrome_131"),
                              fingerprint(impersonate="firefox_133"), fingerprint())
    assert len({chrome[0], firefox[0], plain[0]}) == 3
    assert len({chrome[1], firefox[1], plain[1]}) == 3
    assert chrome[2] != firefox[2]
    assert plain[2] == ["accept", "accept-encoding"]  # as without profiles


@pytest.mark.parametrize("websocket", [False, True])
def test_no_profile_offers_no_3des_and_no_sha1_signatures(native, ca_pem, fingerprints, websocket):
    engine = native.PyEngine(ca_pem=ca_pem)
    if websocket:
        ws, _ = open_websocket(engine, url_of(fingerprints, "/ws", "wss"))
        record = json.loads(bytes(ws.recv()[1]))
        ws.close(1000, "")
    else:
        record = record_of(engine, url_of(fingerprints))
    assert not {0x000A, 0xC008, 0xC012} & set(record["tls"]["ciphers"])
    assert not {0x0201, 0x0203} & set(record["tls"]["sigalgs"])


def test_engine_and_caller_values_take_the_profiles_place(native, ca_pem, fingerprints):
    engine = native.PyEngine(impersonate="chrome_131", ca_pem=ca_pem, user_agent="Engine/1",
                             accept_language="de-DE")
    record = record_of(engine, url_of(fingerprints), headers=[
        ("X-First", "1"), ("Accept", "text/plain"), ("sec-ch-ua-mobile", "?1"),
        ("X-Second", "2")])
    expected = [(name, value) for name, value in PROFILES["chrome_131"][0]]
    replaced = {"user-agent": "Engine/1", "accept-language": "de-DE", "accept": "text/plain",
                "sec-ch-ua-mobile": "?1"}
    expected = [(n, replaced.get(n, v)) for n, v in expected] + [("x-first", "1"),
                                                                  ("x-second", "2")]
    assert [tuple(h) for h in record["http"]["headers"]] == expected

    # The caller's value wins over the engine's too.
    record = record_of(engine, url_of(fingerprints), headers=[("User-Agent", "Caller/2")])
    assert dict(record["http"]["headers"])["user-agent"] == "Caller/2"


@pytest.mark.parametrize("name,first_fields", [
    ("chrome_131", [("Connection", "keep-alive"), ("sec-ch-ua", None)]),
    ("firefox_133", [("User-Agent", None), ("Accept", None), ("Accept-Language", None),
                     ("Accept-Encoding", None), ("Connection", "keep-alive")]),
])
def test_http1_spelling_and_transport_only_fields(native, ca_pem, fingerprints, name, first_fields):
    engine = native.PyEngine(impersonate=name, ca_pem=ca_pem, http_version="h1")
    record = record_of(engine, url_of(fingerprints))
    headers = record["http"]["headers"]
    assert record["alpn"] == "http/1.1" and record["tls"]["alpn"] == ["http/1.1"]
    assert 17513 not in record["tls"]["extensions"]  # no h2 settings without h2
    assert headers[0][0] == "Host"
    for (name_, value), (got_name, got_value) in zip(first_fields, headers[1:]):
        assert got_name == name_ and value in (None, got_value)
    names = [n.lower() for n, _ in headers]
    assert "te" not in names
    assert ("priority" in names) == name.startswith("firefox")  # Chrome's rides on HTTP/2 only


@pytest.fixture(scope="session")
def http1_fingerprints(trust):
    server = FingerprintServer(trust[1]["good"], alpn=["http/1.1"])
    yield server
    server.stop()


# How a request reaches HTTP/1.1 or HTTP/2: (engine's http_version, scheme,
# whether the server offers h2 in ALPN).
WIRES = {
    "clear text": ("auto", "http", True),
    "h1 asked for": ("h1", "https", True),
    "h2 refused in ALPN": ("auto", "https", False),
    "h2 negotiated": ("auto", "https", True),
}


# Chromium (from 124) and Safari 18 send the navigation's priority on HTTP/2
# only, Firefox (from 128) on every version; Connection rides on HTTP/1.1
# alone and Firefox's TE on HTTP/2 alone, whatever the request first assumed.
@pytest.mark.parametrize("wire", WIRES)
@pytest.mark.parametrize("name", ["chrome_131", "edge_124", "safari_18", "safari_ios_18",
                                  "firefox_133"])
def test_version_bound_fields_follow_the_version_on_the_wire(
        native, ca_pem, fingerprints, http1_fingerprints, name, wire):
    http_version, scheme, offers_h2 = WIRES[wire]
    server = fingerprints if offers_h2 else http1_fingerprints
    engine = native.PyEngine(impersonate=name, ca_pem=ca_pem, http_version=http_version)
    http = record_of(engine, url_of(server, scheme=scheme))["http"]
    h2 = wire == "h2 negotiated"
    assert http["version"] == ("2" if h2 else "1.1")
    names = {n.lower() for n, _ in http["headers"]}
    firefox = name.startswith("firefox")
    assert ("priority" in names) == (h2 or firefox)
    assert ("connection" in names) == (not h2)
    assert ("te" in names) == (h2 and firefox)


@pytest.mark.parametrize("name", [
    "Chrome_131", "CHROME", "chrome_", "chrome_109", "chrome_153", "chrome_0131", "chrome-131",
    " chrome_131", "edge_109", "edge_153", "firefox_114", "firefox_156", "safari_15",
    "safari_19", "safari_ios_15", "safari_ios_19", "ios", "opera_100", "chrome_131a",
])
def test_names_the_core_refuses(native, name):
    with pytest.raises(RuntimeError, match="^ProfileUnsupported$"):
        native.PyEngine(impersonate=name)


@pytest.mark.parametrize("name", [
    "chrome", "edge", "firefox", "safari", "safari_ios", "chrome131", "chrome_110",
    "chrome_131", "edge_110", "edge_131", "firefox_115", "firefox_133", "safari_16",
    "safari_18", "safari_ios_16", "safari_ios_18", "chrome_152", "edge_152", "firefox_155",
    "safari_26", "safari_27", "safari_ios_26", "safari_ios_27",
])
def test_names_the_core_accepts(native, name):
    native.PyEngine(impersonate=name)


@pytest.mark.parametrize("name,expected", [
    ("chrome_131", ["host", "connection", "pragma", "cache-control", "user-agent", "upgrade",
                    "origin", "sec-websocket-version", "accept-encoding", "accept-language",
                    "sec-websocket-key", "sec-websocket-extensions", "x-extra"]),
    ("firefox_133", ["host", "user-agent", "accept", "accept-language", "accept-encoding",
                     "sec-websocket-version", "origin", "sec-websocket-extensions",
                     "sec-websocket-key", "connection", "sec-fetch-dest", "sec-fetch-mode",
                     "sec-fetch-site", "pragma", "cache-control", "upgrade", "x-extra"]),
])
def test_websocket_handshake_under_a_profile(native, ca_pem, fingerprints, name, expected):
    engine = native.PyEngine(impersonate=name, ca_pem=ca_pem, accept_language="fr")
    ws, _ = open_websocket(engine, url_of(fingerprints, "/ws", "wss"),
                           origin="https://localhost", headers=[("X-Extra", "1")])
    kind, data, _code, _text = ws.recv()
    assert kind == "text"
    record = json.loads(bytes(data))
    headers = record["http"]["headers"]
    assert [n.lower() for n, _ in headers] == expected
    values = {n.lower(): v for n, v in headers}
    assert values["accept-language"] == "fr"
    assert values["upgrade"] == "websocket" and values["origin"] == "https://localhost"
    assert values["connection"] == ("Upgrade" if name.startswith("chrome") else
                                    "keep-alive, Upgrade")
    assert values["user-agent"] == dict(PROFILES[name][0])["user-agent"]
    # The same ClientHello as the engine's requests, offering HTTP/1.1 only
    # (and so no h2 application settings).
    if uses_own_tls(native):
        hello = PROFILES[name][1]
        check_hello(record["tls"], hello, ["http/1.1"], set(hello.extensions) - {17513})
    ws.close(1000, "")


@pytest.mark.parametrize("coding", ["gzip", "deflate", "br", "zstd"])
def test_each_offered_coding_is_decoded(native, ca_pem, fingerprints, coding):
    pytest.importorskip({"br": "brotli", "zstd": "zstandard"}.get(coding, "zlib"))
    engine = native.PyEngine(impersonate="chrome_131", ca_pem=ca_pem)
    response, body = fetch(engine, url_of(fingerprints, f"/coding/{coding}"))
    assert response.status_code == 200
    assert f"content-encoding: {coding}".encode() in response.headers.lower()
    assert body == CODED_TEXT


HOLDER = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    from conftest import _load_module
    native = _load_module()
    try:
        engine = native.PyEngine(impersonate=sys.argv[2], profile_namespace="shared")
    except RuntimeError as error:
        print(error, flush=True)
        sys.exit(0)
    print("open", flush=True)
    sys.stdin.read()  # held until the test lets go
""")


def test_namespace_bound_to_another_profile_in_another_process(native, tmp_path):
    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path))
    here = str(Path(__file__).resolve().parent)

    def start(profile):
        return subprocess.Popen([sys.executable, "-c", HOLDER, here, profile], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    first = start("chrome_131")
    try:
        assert first.stdout.readline().strip() == "open"
        second = start("firefox_133")
        out, _ = second.communicate(timeout=60)
        assert out.strip() == "ProfileConflict"
    finally:
        first.communicate(timeout=60)


class FfdheServer:
    """Answers every ClientHello by choosing ffdhe2048, a group the profile
    only lists: in a HelloRetryRequest, or in a ServerHello key share."""

    RETRY_RANDOM = bytes.fromhex(
        "cf21ad74e59a6111be1d8c021e65b891c2a211167abb8c5e079e09e2c8a8339c")

    def __init__(self, retry):
        import socket
        import threading
        from fingerprint_server import parse_client_hello, peek_client_hello
        self.retry, self._parse, self._peek = retry, parse_client_hello, peek_client_hello
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _flight(self, session_id):
        def ext(kind, data):
            return kind.to_bytes(2, "big") + len(data).to_bytes(2, "big") + data
        share = b"\x01\x00" if self.retry else b"\x01\x00" + (256).to_bytes(2, "big") + bytes(256)
        extensions = ext(43, b"\x03\x04") + ext(51, share)
        body = (b"\x03\x03" + (self.RETRY_RANDOM if self.retry else bytes(range(32)))
                + bytes([len(session_id)]) + session_id + b"\x13\x01\x00"
                + len(extensions).to_bytes(2, "big") + extensions)
        message = b"\x02" + len(body).to_bytes(3, "big") + body
        return b"\x16\x03\x03" + len(message).to_bytes(2, "big") + message

    def _serve(self):
        while True:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                return  # stopped
            with sock:
                try:
                    hello = self._peek(sock)
                    raw = sock.recv(len(hello))
                    sid_len = raw[5 + 4 + 34]
                    sock.sendall(self._flight(raw[5 + 4 + 35:5 + 4 + 35 + sid_len]))
                    while sock.recv(4096):  # until the client gives up
                        pass
                except OSError:
                    pass

    def stop(self):
        import socket
        # Wakes the accept (closing alone would leave it waiting).
        self._listener.shutdown(socket.SHUT_RDWR)
        self._thread.join()
        self._listener.close()


@pytest.mark.parametrize("retry", [True, False])
def test_a_server_choosing_a_listed_only_group_fails_the_handshake(native, own_tls, retry):
    server = FfdheServer(retry)
    try:
        engine = native.PyEngine(impersonate="firefox", verify=False)
        request = engine.request("GET", f"https://127.0.0.1:{server.port}/")
        with pytest.raises(RuntimeError) as failure:
            request.start_stream()
        assert str(failure.value) == "Tls (Chromium net error -107)"
    finally:
        server.stop()
