"""PyEngine.request: parameters, defaults, name tables and every message."""

import pytest

from fake_requests import last_request_record, tidy_requests  # noqa: F401

URL = "http://127.0.0.1/x"


def test_defaults(engine, fake):
    req = engine.request("GET", URL)
    assert type(req).__name__ == "PyRequest"
    rec = last_request_record()
    assert rec["size"] > 0 and rec["abi"] == 8
    assert rec["callbacks_abi"] == 8 and not rec["user_data_null"]
    assert (rec["method"], rec["url"]) == (b"GET", URL.encode())
    assert rec["headers_null"] and rec["header_count"] == 0
    assert (rec["timeout_ms"], rec["body"], rec["body_len"], rec["body_kind"]) == (0, None, 0, 0)
    assert (rec["redirect_mode"], rec["cache_mode"], rec["priority"]) == (0, 0, 0)
    assert fake.call_count("hv_request_start") == 0  # created, not started


def test_texts_pass_unchanged(engine):
    headers = [("X-A", "1"), ("x-a", "2"), ("X-A", ""), ("", "v")]
    engine.request("get", "not a url", headers=headers)
    rec = last_request_record()
    assert (rec["method"], rec["url"]) == (b"get", b"not a url")
    assert rec["header_count"] == 4
    assert rec["headers"] == [(b"X-A", b"1"), (b"x-a", b"2"), (b"X-A", b""), (b"", b"v")]
    engine.request("", "")
    rec = last_request_record()
    # Empty texts keep their own (non-NULL) pointers.
    assert (rec["method"], rec["url"]) == (b"", b"")


@pytest.mark.parametrize("kwargs, kind, body", [
    ({}, 0, None),
    ({"body": b""}, 1, None),
    ({"body": b"abc"}, 1, b"abc"),
    ({"body": bytearray(b"abc")}, 1, b"abc"),
    ({"body": [97, 98, 99]}, 1, b"abc"),
    ({"body": memoryview(b"abc")}, 1, b"abc"),
    ({"body": b"abc", "chunked": True}, 2, None),
    ({"chunked": True}, 2, None),
])
def test_body_kinds(engine, kwargs, kind, body):
    engine.request("POST", URL, **kwargs)
    rec = last_request_record()
    assert (rec["body_kind"], rec["body"]) == (kind, body)


@pytest.mark.parametrize("kwargs, mode", [
    ({}, 0), ({"allow_redirects": False}, 1),
    ({"allow_redirects": False, "redirect": "follow"}, 0),
    ({"redirect": "manual"}, 1), ({"redirect": "error", "allow_redirects": True}, 2),
    ({"redirect": "error", "allow_redirects": False}, 2),
])
def test_redirect_modes(engine, kwargs, mode):
    engine.request("GET", URL, **kwargs)
    assert last_request_record()["redirect_mode"] == mode


@pytest.mark.parametrize("field, names", [
    ("cache_mode", ["default", "validate", "bypass", "no_store", "force", "only_if_cached"]),
    ("priority", ["default", "highest", "medium", "low", "lowest", "idle"]),
])
def test_cache_and_priority_tables(engine, field, names):
    key = "cache" if field == "cache_mode" else "priority"
    for code, name in enumerate(names):
        engine.request("GET", URL, **{key: name})
        assert last_request_record()[field] == code


@pytest.mark.parametrize("timeout, ms", [
    (None, 0), (0, 0), (0.0009, 0), (0.001, 1), (1.5, 1500), (2, 2000), (True, 1000),
    (-0.0, 0), (1e-9, 0), (86400.25, 86_400_250), (2.0 ** 63, 2 ** 64 - 1),
])
def test_timeout_in_whole_milliseconds(engine, timeout, ms):
    engine.request("GET", URL, timeout=timeout)
    assert last_request_record()["timeout_ms"] == ms


@pytest.mark.parametrize("kwargs, message", [
    ({"timeout": -0.001}, "timeout must be a finite non-negative number"),
    ({"timeout": float("nan")}, "timeout must be a finite non-negative number"),
    ({"timeout": float("inf")}, "timeout must be a finite non-negative number"),
    ({"timeout": float("-inf")}, "timeout must be a finite non-negative number"),
    ({"redirect": "Manual"}, 'unknown redirect mode "Manual"'),
    ({"cache": "no-store"}, 'unknown cache mode "no-store"'),
    ({"priority": "high"}, 'unknown priority "high"'),
    ({"priority": 'a"b\\c\t\n'}, 'unknown priority "a\\"b\\\\c\\t\\n"'),
    # The first failing check names the error: timeout, redirect, cache, priority.
    ({"timeout": -1, "cache": "x", "redirect": "y"}, "timeout must be a finite non-negative number"),
    ({"priority": "x", "cache": "y", "redirect": "z"}, 'unknown redirect mode "z"'),
    ({"priority": "x", "cache": "y"}, 'unknown cache mode "y"'),
])
def test_option_errors(engine, fake, kwargs, message):
    with pytest.raises(RuntimeError) as exc:
        engine.request("GET", URL, **kwargs)
    assert type(exc.value) is RuntimeError and exc.value.args == (message,)
    assert fake.call_count("hv_request_create") == 0


def test_huge_timeout_is_refused_cleanly(engine, fake):
    with pytest.raises(OverflowError):
        engine.request("GET", URL, timeout=2.0 ** 64)
    assert fake.call_count("hv_request_create") == 0


@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    (("GET",), {}, TypeError, "PyEngine.request() missing 1 required positional argument: 'url'"),
    ((), {}, TypeError, "PyEngine.request() missing 2 required positional arguments: 'method' and 'url'"),
    (("GET", URL) + (None,) * 10, {}, TypeError,
     "PyEngine.request() takes from 2 to 11 positional arguments but 12 were given"),
    (("GET", URL), {"color": 1}, TypeError, "PyEngine.request() got an unexpected keyword argument 'color'"),
    (("GET", URL), {"method": "GET"}, TypeError, "PyEngine.request() got multiple values for argument 'method'"),
    ((1, URL), {}, TypeError, "argument 'method': 'int' object cannot be converted to 'PyString'"),
    (("GET", URL), {"allow_redirects": 1}, TypeError,
     "argument 'allow_redirects': 'int' object cannot be converted to 'PyBool'"),
    (("GET", URL), {"allow_redirects": None}, TypeError,
     "argument 'allow_redirects': 'NoneType' object cannot be converted to 'PyBool'"),
    (("GET", URL), {"chunked": None}, TypeError,
     "argument 'chunked': 'NoneType' object cannot be converted to 'PyBool'"),
    (("GET", URL), {"timeout": "1"}, TypeError, "argument 'timeout': must be real number, not str"),
    (("GET", URL), {"body": [256]}, OverflowError, "out of range integral type conversion attempted"),
    (("GET", URL), {"body": [-1]}, OverflowError, "out of range integral type conversion attempted"),
    (("GET", URL), {"body": {"a": 1}}, TypeError, "argument 'body': 'dict' object cannot be converted to 'Sequence'"),
    (("GET", URL), {"headers": {"a": "b"}}, TypeError,
     "argument 'headers': 'dict' object cannot be converted to 'Sequence'"),
    (("GET", URL), {"headers": [["a", "b"]]}, TypeError,
     "argument 'headers': 'list' object cannot be converted to 'PyTuple'"),
    (("GET", URL), {"headers": [("a", "b", "c")]}, ValueError, "Expected tuple of length 2, but got tuple of length 3."),
    (("GET", URL), {"headers": [("a", 1)]}, TypeError, "argument 'headers': 'int' object cannot be converted to 'PyString'"),
    (("GET", URL), {"redirect": 3}, TypeError, "argument 'redirect': 'int' object cannot be converted to 'PyString'"),
])
def test_argument_errors(engine, fake, args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as exc:
        engine.request(*args, **kwargs)
    assert type(exc.value) is exc_type and str(exc.value) == message
    assert fake.call_count("hv_request_create") == 0


def test_body_given_as_str_is_refused_item_by_item(engine):
    with pytest.raises(TypeError, match="^argument 'body': "):
        engine.request("POST", URL, body="abc")


@pytest.mark.parametrize("code, text", [(1, "InvalidArgument"), (4, "InitializationFailed"),
                                        (16, "native error 16"), (-3, "native error -3")])
def test_core_refusal(engine, fake, code, text):
    fake.push_result("hv_request_create", code)
    with pytest.raises(RuntimeError) as exc:
        engine.request("GET", URL)
    assert exc.value.args == (text,)


def test_success_without_handle(engine, fake):
    fake.push_handle("hv_request_create", 0)
    with pytest.raises(RuntimeError, match="^InitializationFailed$"):
        engine.request("GET", URL)


def test_unstarted_request_released_once(engine, fake):
    req = engine.request("GET", URL)
    del req
    assert fake.call_count("hv_request_release") == 1
    assert fake.misuse_count() == 0
