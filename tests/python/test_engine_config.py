"""What PyEngine(...) hands to the Core, and how Core failures come back."""

import ctypes

import pytest

from fake_core import NULL, Blob

TEXT_FIELDS = [
    "user_agent",
    "proxy",
    "proxy_username",
    "proxy_password",
    "accept_language",
    "impersonate",
    "profile_namespace",
]

_P, _U = ctypes.c_void_p, ctypes.c_uint32


class EngineRecordLayout(ctypes.Structure):
    """The engine record as the C compiler lays it out on this machine."""

    _fields_ = [
        ("size", _U),
        ("abi", _U),
        ("user_agent", _P),
        ("user_agent_len", _U),
        ("proxy", _P),
        ("proxy_len", _U),
        ("proxy_username", _P),
        ("proxy_username_len", _U),
        ("proxy_password", _P),
        ("proxy_password_len", _U),
        ("disable_cache", _U),
        ("accept_language", _P),
        ("accept_language_len", _U),
        ("impersonate", _P),
        ("impersonate_len", _U),
        ("profile_namespace", _P),
        ("profile_namespace_len", _U),
        ("http_version", _U),
        ("tls_verification", _U),
        ("ca_pem", _P),
        ("ca_pem_len", _U),
    ]


def record_size():
    # 84 bytes on the 32-bit target; pointers and padding widen it elsewhere.
    expected = {4: 84, 8: 144}[ctypes.sizeof(ctypes.c_void_p)]
    assert ctypes.sizeof(EngineRecordLayout) == expected
    return expected


def engine_record(native, fake, *args, **kwargs):
    native.PyEngine(*args, **kwargs)
    assert fake.call_count("hv_engine_create") == 1
    return fake.last_record("engine")


def test_default_record(native, fake):
    record = engine_record(native, fake)
    assert record == {
        "size": record_size(),
        "abi": 8,
        **{name: NULL for name in TEXT_FIELDS},
        "disable_cache": 0,
        "http_version": 0,
        "tls_verification": 0,
        "ca_pem": NULL,
    }


FULL = {
    "impersonate": "chrome_131",
    "proxy": "http://127.0.0.1:3128",
    "verify": True,
    "ca_pem": b"-----BEGIN CERTIFICATE-----\n",
    "user_agent": "Agent/1.0 (\u00e9t\u00e9)",
    "accept_language": "de-CH,de;q=0.9",
    "proxy_username": "us\u00e9r",
    "proxy_password": "p\u00e4ss:word",
    "http_version": "h2",
    "cache": False,
    "profile_namespace": "ns-\u4e00",
}
FULL_RECORD = {
    "size": None,  # filled in by the test
    "abi": 8,
    "user_agent": Blob.of("Agent/1.0 (\u00e9t\u00e9)".encode()),
    "proxy": Blob.of(b"http://127.0.0.1:3128"),
    "proxy_username": Blob.of("us\u00e9r".encode()),
    "proxy_password": Blob.of("p\u00e4ss:word".encode()),
    "disable_cache": 1,
    "accept_language": Blob.of(b"de-CH,de;q=0.9"),
    "impersonate": Blob.of(b"chrome_131"),
    "profile_namespace": Blob.of("ns-\u4e00".encode()),
    "http_version": 2,
    "tls_verification": 1,
    "ca_pem": Blob.of(b"-----BEGIN CERTIFICATE-----\n"),
}


@pytest.mark.parametrize("positional", [False, True], ids=["keywords", "positional"])
def test_every_field(native, fake, positional):
    if positional:
        record = engine_record(native, fake, *FULL.values())
    else:
        record = engine_record(native, fake, **FULL)
    assert record == {**FULL_RECORD, "size": record_size()}


@pytest.mark.parametrize("param", TEXT_FIELDS)
@pytest.mark.parametrize("value", [None, ""], ids=["none", "empty"])
def test_absent_and_empty_texts_are_null(native, fake, param, value):
    record = engine_record(native, fake, **{param: value})
    assert record[param] == NULL


@pytest.mark.parametrize(
    "given, expected",
    [
        ("chrome131", "chrome_131"),
        ("chrome_131", "chrome_131"),
        ("chrome0", "chrome_0"),
        ("chrome_007", "chrome_007"),
        ("chrome", "chrome"),
        ("chrome_", "chrome_"),
        ("chrome__131", "chrome__131"),
        ("chrome131a", "chrome131a"),
        ("chrome_120_beta", "chrome_120_beta"),
        ("chrome 131", "chrome 131"),
        ("chrome\u0661\u0662\u0663", "chrome\u0661\u0662\u0663"),  # non-ASCII digits
        ("CHROME131", "CHROME131"),
        ("Chrome120", "Chrome120"),
        ("firefox133", "firefox133"),
        ("xchrome131", "xchrome131"),
    ],
)
def test_impersonate_normalisation(native, fake, given, expected):
    record = engine_record(native, fake, impersonate=given)
    assert record["impersonate"] == Blob.of(expected.encode())


@pytest.mark.parametrize(
    "given, code",
    [
        (None, 0),
        ("auto", 0),
        ("native", 0),
        ("h1", 1),
        ("v1", 1),
        ("http/1.1", 1),
        ("h2", 2),
        ("v2", 2),
        ("http/2", 2),
        ("h3", 3),
        ("v3", 3),
        ("http/3", 3),
    ],
)
def test_http_versions(native, fake, given, code):
    assert engine_record(native, fake, http_version=given)["http_version"] == code


@pytest.mark.parametrize(
    "given, shown",
    [
        ("H2", '"H2"'),
        ("HTTP/2", '"HTTP/2"'),
        ("http/2.0", '"http/2.0"'),
        ("1.1", '"1.1"'),
        ("", '""'),
        (" h2", '" h2"'),
        ("Auto", '"Auto"'),
        ('say "h2"', '"say \\"h2\\""'),
        ("a\\b", '"a\\\\b"'),
        ("h\t2", '"h\\t2"'),
        ("h2\r\n", '"h2\\r\\n"'),
        ("h2\0", '"h2\\0"'),
        ("it's", '"it\'s"'),
        ("caf\u00e9 \u4e2d", '"caf\u00e9 \u4e2d"'),  # printable non-ASCII unchanged
        ("e\u0301", '"e\\u{301}"'),  # combining acute accent
        ("\u20dd", '"\\u{20dd}"'),  # enclosing mark
        ("\u0085", '"\\u{85}"'),  # next line: not printable
        ("\x7f\x01", '"\\u{7f}\\u{1}"'),
        ("\u00a0", '"\\u{a0}"'),
        ("a\u200cb", '"a\\u{200c}b"'),
        ("\uff9e", '"\\u{ff9e}"'),  # printable, but extends a grapheme
        ("\U0001f44d\U0001f3fb", '"\U0001f44d\\u{1f3fb}"'),
        ("\U000e0041", '"\\u{e0041}"'),
        ("\U0010ffff", '"\\u{10ffff}"'),
    ],
    ids=repr,
)
def test_unknown_http_version(native, fake, given, shown):
    with pytest.raises(RuntimeError) as info:
        native.PyEngine(http_version=given)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("unknown http version " + shown,)
    assert fake.call_count("hv_engine_create") == 0


@pytest.mark.parametrize("setup", ["abi", "core_error"])
def test_unknown_http_version_is_reported_before_the_core(native, fake, setup):
    if setup == "abi":
        fake.set_abi(7)
    else:
        fake.push_result("hv_engine_create", 9)
    with pytest.raises(RuntimeError, match="^unknown http version"):
        native.PyEngine(http_version="HTTP/3", proxy="bad")
    assert fake.call_count("hv_abi_version") == 0
    assert fake.call_count("hv_engine_create") == 0


@pytest.mark.parametrize(
    "verify, ca_pem, mode, bundle",
    [
        (True, None, 0, NULL),
        (True, b"", 1, NULL),
        (True, [], 1, NULL),
        (True, b"PEM", 1, Blob.of(b"PEM")),
        (False, None, 2, NULL),
        (False, b"", 2, NULL),
        (False, b"PEM", 2, Blob.of(b"PEM")),
    ],
)
def test_verification_mode(native, fake, verify, ca_pem, mode, bundle):
    record = engine_record(native, fake, verify=verify, ca_pem=ca_pem)
    assert (record["tls_verification"], record["ca_pem"]) == (mode, bundle)


@pytest.mark.parametrize("cache, disable", [(True, 0), (False, 1)])
def test_cache_switch(native, fake, cache, disable):
    assert engine_record(native, fake, cache=cache)["disable_cache"] == disable


# ---- failures of the engine layer ------------------------------------------


def raises_runtime(native, **kwargs):
    with pytest.raises(RuntimeError) as info:
        native.PyEngine(**kwargs)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("abi", [7, 9, 0, 0xFFFFFFFF])
def test_unsupported_abi(native, fake, abi):
    fake.set_abi(abi)
    assert raises_runtime(native, impersonate="chrome131", ca_pem=b"x") == "UnsupportedAbi"
    assert fake.call_count("hv_abi_version") == 1
    assert fake.call_count("hv_engine_create") == 0


CORE_CODES = [
    (1, "InvalidArgument"),
    (2, "UnsupportedAbi"),
    (3, "OutOfMemory"),
    (4, "InitializationFailed"),
    (5, "InvalidState"),
    (6, "Timeout"),
    (7, "Canceled"),
    (8, "Network"),
    (9, "Tls"),
    (10, "Proxy"),
    (11, "Protocol"),
    (12, "Redirect"),
    (13, "CacheMiss"),
    (14, "ProfileConflict"),
    (15, "ProfileUnsupported"),
    (16, "native error 16"),
    (-3, "native error -3"),
    (-2147483648, "native error -2147483648"),
]


@pytest.mark.parametrize("code, text", CORE_CODES)
def test_core_error_codes(native, fake, code, text):
    fake.push_result("hv_engine_create", code)
    fake.push_handle("hv_engine_create", 0x7777)  # ignored: the call failed
    assert raises_runtime(native) == text
    assert fake.call_count("hv_engine_release") == 0
    assert fake.misuse_count() == 0


def test_success_without_handle(native, fake):
    live = fake.live_count("engine")
    fake.push_handle("hv_engine_create", 0)
    assert raises_runtime(native) == "InitializationFailed"
    assert fake.call_count("hv_engine_release") == 0
    assert fake.live_count("engine") == live


def test_engine_released_exactly_once(native, fake):
    live = fake.live_count("engine")
    first = native.PyEngine()
    second = native.PyEngine(cache=False)
    assert fake.live_count("engine") == live + 2
    del first
    assert fake.call_count("hv_engine_release") == 1
    assert fake.live_count("engine") == live + 1
    del second
    assert fake.call_count("hv_engine_release") == 2
    assert fake.live_count("engine") == live
    assert fake.misuse_count() == 0


def test_scripted_handle_is_the_one_released(native, fake):
    fake.push_handle("hv_engine_create", 0x7FFF0000)
    engine = native.PyEngine()
    assert fake.last_handle("engine") == 0x7FFF0000
    del engine
    assert fake.call_count("hv_engine_release") == 1
    assert fake.live_count("engine") == 0 or fake.last_handle("engine") != 0x7FFF0000
    assert fake.misuse_count() == 0
