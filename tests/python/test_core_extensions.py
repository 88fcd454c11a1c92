"""The extensions of our own Core on the stand-in: what the module passes
through them, what it refuses before, and, on the stand-in built without
them, that the module still loads and says clearly what it cannot do."""

import ctypes
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from fake_requests import FakeRequest
from fake_websockets import FakeWebSocket

URL = "http://example.test/"
ALL = frozenset({"connect_timeout", "cookies", "cache_state", "websocket_ping",
                 "max_message_size"})

_lib = ctypes.CDLL(os.environ["HALVANE_FAKE_CORE"], mode=ctypes.RTLD_GLOBAL)
if not hasattr(_lib, "fake_set_cache_state"):
    # The suite runs on the stand-in without the extensions: the rest of it
    # shows the module working there.
    pytest.skip("the stand-in Core has no extensions", allow_module_level=True)
_lib.fake_set_cache_state.argtypes = [ctypes.c_uint64, ctypes.c_uint32]
_lib.fake_websocket_ping_count.argtypes = [ctypes.c_uint64]
_lib.fake_websocket_ping_count.restype = ctypes.c_uint64
_lib.fake_websocket_ping_json.argtypes = [ctypes.c_uint64, ctypes.c_uint64]
_lib.fake_websocket_ping_json.restype = ctypes.c_char_p


def test_the_stand_in_offers_every_extension(native):
    assert native.core_extensions == ALL
    assert "core_extensions" not in native.__all__


# ---- connect timeout ---------------------------------------------------------------

@pytest.mark.parametrize("seconds,ms", [(1.5, 1500), (0.0004, 1), (0, 1), (3600, 3_600_000)])
def test_connect_timeout_goes_through_the_extension_entry(engine, fake, seconds, ms):
    engine.request("GET", URL, timeout=5, connect_timeout=seconds)
    record = fake.last_record("request")
    assert (record["options_size"], record["connect_timeout_ms"]) == (12 if sys.maxsize < 2**32
                                                                       else 16, ms)
    assert record["timeout_ms"] == 5000 and record["size"] > 0  # the base record as ever
    assert fake.call_count("hv_ext_request_create") == 1
    assert fake.call_count("hv_request_create") == 0


def test_without_connect_timeout_the_base_entry_serves(engine, fake):
    engine.request("GET", URL)
    assert "options_size" not in fake.last_record("request")
    assert fake.call_count("hv_ext_request_create") == 0


@pytest.mark.parametrize("value,exc,message", [
    (-1, ValueError, "connect_timeout must be a finite non-negative number"),
    (float("nan"), ValueError, "connect_timeout must be a finite non-negative number"),
    (float("inf"), ValueError, "connect_timeout must be a finite non-negative number"),
    ("1", TypeError, "argument 'connect_timeout': must be real number, not str"),
])
def test_bad_connect_timeouts(engine, fake, value, exc, message):
    with pytest.raises(exc) as raised:
        engine.request("GET", URL, connect_timeout=value)
    assert str(raised.value) == message
    assert fake.call_count("hv_ext_request_create") == 0


# ---- cookies ---------------------------------------------------------------------------

def test_cookie_jar_round_trip(engine):
    engine.set_cookie("a", "1", "example.test")
    engine.set_cookie("b", "2", ".example.test", path="/p", secure=True, http_only=True,
                      expires=2_000_000_000, host_only=True)
    engine.set_cookie("a", "3", "example.test")  # replaces (name, domain, path)
    assert sorted(engine.cookies()) == [
        ("a", "3", "example.test", "/", False, False, None, False),
        ("b", "2", "example.test", "/p", True, True, 2_000_000_000, True),
    ]
    assert engine.delete_cookies(path="/p") == 1
    assert engine.delete_cookies(domain="nowhere.test") == 0
    assert engine.delete_cookies() == 1
    assert engine.cookies() == []


def test_engines_have_their_own_jars(native):
    one, two = native.PyEngine(), native.PyEngine()
    one.set_cookie("a", "1", "example.test")
    assert two.cookies() == []


@pytest.mark.parametrize("args,kwargs,reason", [
    (("", "v", "d.test"), {}, "empty name"),
    (("a;b", "v", "d.test"), {}, "name contains ';'"),
    (("a\tb", "v", "d.test"), {}, "name contains a control character"),
    (("a=b", "v", "d.test"), {}, "name contains '='"),
    (("a b", "v", "d.test"), {}, "name contains a space"),
    (("#a", "v", "d.test"), {}, "name begins with '#'"),
    (("a", "v;w", "d.test"), {}, "value contains ';'"),
    (("a", "v\x7f", "d.test"), {}, "value contains a control character"),
    (("a", "v" * 4096, "d.test"), {}, "name and value longer than 4096 bytes"),
    (("a", "v", ""), {}, "empty domain"),
    (("a", "v", "."), {}, "empty domain"),
    (("a", "v", "d.test/x"), {}, "domain is not a host name"),
    (("a", "v", "d\n.test"), {}, "domain contains a control character"),
    (("a", "v", "d.test"), {"path": ""}, "path does not begin with '/'"),
    (("a", "v", "d.test"), {"path": "/a;b"}, "path contains ';'"),
    (("a", "v", "d.test"), {"expires": 0}, "expires is not after 1970"),
])
def test_refused_cookies_never_reach_the_core(engine, fake, args, kwargs, reason):
    with pytest.raises(ValueError) as refused:
        engine.set_cookie(*args, **kwargs)
    assert str(refused.value) == f"cookie refused: {reason}"
    assert fake.call_count("hv_ext_cookie_set") == 0


@pytest.mark.parametrize("call,kwargs,exc,message", [
    ("set_cookie", {"name": 1, "value": "v", "domain": "d"}, TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("set_cookie", {"name": "n", "value": "v", "domain": "d", "expires": 1.5}, TypeError,
     "argument 'expires': 'float' object cannot be interpreted as an integer"),
    ("set_cookie", {"name": "n", "value": "v", "domain": "d", "secure": 1}, TypeError,
     "argument 'secure': 'int' object cannot be converted to 'PyBool'"),
    ("delete_cookies", {"domain": 1}, TypeError,
     "argument 'domain': 'int' object cannot be converted to 'PyString'"),
])
def test_cookie_argument_types(engine, call, kwargs, exc, message):
    with pytest.raises(exc) as raised:
        getattr(engine, call)(**kwargs)
    assert str(raised.value) == message


def test_a_core_refusal_of_a_cookie_is_a_value_error(engine, fake):
    fake.push_result("hv_ext_cookie_set", 1)  # InvalidArgument
    with pytest.raises(ValueError, match="^cookie refused: the jar did not take it$"):
        engine.set_cookie("a", "1", "example.test")


def test_other_core_failures_of_the_jar_are_runtime_errors(engine, fake):
    fake.push_result("hv_ext_cookies_list", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        engine.cookies()
    fake.push_result("hv_ext_cookies_delete", 3)
    with pytest.raises(RuntimeError, match="^OutOfMemory$"):
        engine.delete_cookies()


# ---- cache state -------------------------------------------------------------------

@pytest.mark.parametrize("state,text", [(0, None), (1, "network"), (2, "cache"),
                                        (3, "revalidated"), (9, None)])
def test_cache_state_of_a_response(engine, state, text):
    request = engine.request("GET", URL)
    fake = FakeRequest.last()
    _lib.fake_set_cache_state(fake.handle, state)
    request.start()
    fake.response().complete()
    response = request.await_response()
    assert response.cache_state() == text
    assert request.cache_state() == text


# ---- WebSocket ping and max_message_size -----------------------------------------------

def test_ping_goes_to_the_core(engine):
    ws = engine.websocket("ws://example.test/")
    ws.connect()
    handle = FakeWebSocket.last().handle
    ws.ping()
    ws.ping(b"abc")
    ws.ping(data=list(range(125)))
    pings = [json.loads(_lib.fake_websocket_ping_json(handle, i))
             for i in range(_lib.fake_websocket_ping_count(handle))]
    assert [(p["null"], bytes.fromhex(p["hex"])) for p in pings] == \
        [(True, b""), (False, b"abc"), (False, bytes(range(125)))]


def test_ping_refusals(engine, fake):
    ws = engine.websocket("ws://example.test/")
    ws.connect()
    with pytest.raises(ValueError, match="^ping payload must be at most 125 bytes$"):
        ws.ping(bytes(126))
    fake.push_result("hv_ext_websocket_ping", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.ping(b"x")


@pytest.mark.parametrize("size", [1, 4 * 1024 * 1024, 2**30])
def test_max_message_size_goes_through_the_extension_entry(engine, fake, size):
    engine.websocket("ws://example.test/", max_message_size=size)
    record = fake.last_record("websocket")
    assert (record["options_size"], record["max_message_size"]) == \
        (12 if sys.maxsize < 2**32 else 16, size)
    assert fake.call_count("hv_ext_websocket_create") == 1


@pytest.mark.parametrize("size", [0, -1, 2**30 + 1, 2**70])
def test_bad_max_message_sizes(engine, fake, size):
    exc = OverflowError if size == 2**70 else ValueError
    with pytest.raises(exc):
        engine.websocket("ws://example.test/", max_message_size=size)
    assert fake.call_count("hv_ext_websocket_create") == 0


def test_a_message_past_the_old_queue_limit_is_delivered_whole(engine):
    ws = engine.websocket("ws://example.test/", max_message_size=8 * 1024 * 1024)
    ws.connect()
    big = bytes(5 * 1024 * 1024)
    FakeWebSocket.last().open(now=True).message(big, type_=2, now=True)
    assert ws.recv()[0] == "open"
    kind, data, _, _ = ws.recv_bytes()
    assert (kind, len(data)) == ("binary", len(big))


def test_without_max_message_size_the_old_queue_limit_holds(engine):
    ws = engine.websocket("ws://example.test/")
    ws.connect()
    FakeWebSocket.last().open(now=True).message(bytes(5 * 1024 * 1024), type_=2, now=True)
    # The queue is given up for its one entry, the failure.
    assert ws.recv() == ("error", [], None, "BufferLimit (Chromium net error 0, response 0)")


# ---- sized streamed uploads --------------------------------------------------------

@pytest.mark.parametrize("length,writes,final,message", [
    ("5", [b"abc"], True, "upload body ended after 3 of 5 bytes"),
    ("5", [b"abcde", b"f"], False, "upload body ran past its Content-Length of 5 bytes"),
    (" 5 ", [b"abcdef"], False, "upload body ran past its Content-Length of 5 bytes"),
    ("0", [b"a"], False, "upload body ran past its Content-Length of 0 bytes"),
])
def test_a_streamed_body_is_held_to_its_length(engine, length, writes, final, message):
    request = engine.request("POST", URL, chunked=True, headers=[("Content-Length", length)])
    request.start()
    with pytest.raises(RuntimeError) as broke:
        for data in writes:
            request.upload_write(data, final)
        if final:
            request.upload_finish()
    assert str(broke.value) == message


@pytest.mark.parametrize("headers", [
    [("Content-Length", "5")],
    [("content-length", "5"), ("Content-Length", "5")],
    [("Content-Length", "x")],          # no valid length: chunked, nothing to hold to
    [("Content-Length", "5"), ("Content-Length", "6")],
    [],
])
def test_bodies_that_keep_to_their_length_pass(engine, headers):
    request = engine.request("POST", URL, chunked=True, headers=headers)
    request.start()
    request.upload_write(b"ab", False)
    request.upload_write(b"cde", False)
    request.upload_finish()
    assert FakeRequest.last().uploads() == [(b"ab", 0), (b"cde", 0), (None, 1)]


# ---- a Core without the extensions -------------------------------------------------------

PLAIN_SCRIPT = textwrap.dedent("""
    import ctypes, json, os, sys
    ctypes.CDLL(os.environ["HALVANE_FAKE_CORE"], mode=ctypes.RTLD_GLOBAL)
    sys.path.insert(0, os.environ["STRANDEL_MODULE_DIR"])
    import strandel_native36 as n
    e = n.PyEngine()
    out = {"extensions": sorted(n.core_extensions)}
    def attempt(name, fn):
        try:
            fn()
            out[name] = "ok"
        except Exception as error:
            out[name] = [type(error).__name__, str(error)]
    attempt("connect_timeout", lambda: e.request("GET", "http://x.test/", connect_timeout=1))
    attempt("plain_request", lambda: e.request("GET", "http://x.test/", connect_timeout=None))
    attempt("cookies", e.cookies)
    attempt("set_cookie", lambda: e.set_cookie("a", "b", "x.test"))
    attempt("delete_cookies", e.delete_cookies)
    attempt("max_message_size",
            lambda: e.websocket("ws://x.test/", max_message_size=10))
    attempt("plain_websocket", lambda: e.websocket("ws://x.test/", max_message_size=None))
    ws = e.websocket("ws://x.test/")
    attempt("ping", ws.ping)
    r = e.request("GET", "http://x.test/")
    out["cache_state"] = r.cache_state()
    print(json.dumps(out))
""")


def test_a_core_without_the_extensions():
    plain = Path(os.environ["HALVANE_FAKE_CORE"]).parent.parent / "fake_core_plain"
    library = plain / "libhalvane.so.2"
    if not library.exists():
        pytest.skip("no stand-in without the extensions beside this one")
    # The plain stand-in first; the rest of the path stays (an interpreter of
    # another architecture finds its own libraries through it).
    path = os.pathsep.join(filter(None, [str(plain), os.environ.get("LD_LIBRARY_PATH")]))
    env = dict(os.environ, HALVANE_FAKE_CORE=str(library), LD_LIBRARY_PATH=path)
    env.setdefault("STRANDEL_MODULE_DIR", os.path.dirname(
        __import__("strandel_native36").__file__))
    python = os.environ.get("STRANDEL_PYTHON", sys.executable)  # the i386 pass's emulator
    run = subprocess.run([python, "-c", PLAIN_SCRIPT], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    refused = "NotImplementedError"
    assert json.loads(run.stdout) == {
        "extensions": [],
        "connect_timeout": [refused, "this Core does not support connect timeouts"],
        "plain_request": "ok",
        "cookies": [refused, "this Core does not support cookies"],
        "set_cookie": [refused, "this Core does not support cookies"],
        "delete_cookies": [refused, "this Core does not support cookies"],
        "max_message_size": [refused, "this Core does not support max_message_size"],
        "plain_websocket": "ok",
        "ping": [refused, "this Core does not support ping"],
        "cache_state": None,
    }


def test_the_stubs_name_what_the_module_has(native):
    import ast

    stubs = Path(__file__).resolve().parents[2] / "python" / "strandel_native36.pyi"
    tree = ast.parse(stubs.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and hasattr(native, node.name):
            cls = getattr(native, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("__"):
                    assert hasattr(cls, item.name), f"{node.name}.{item.name}"
    assert isinstance(native.core_extensions, frozenset)
