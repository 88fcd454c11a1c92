"""Arbitrary arguments for every Python entry point, against the stand-in Core:
only the documented exception types may come out, and nothing may crash.
Calls that would wait on the network are made only where they return at once
(or wait for a few milliseconds at most)."""

import math
import sys

import pytest

pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from fake_requests import tidy_requests  # noqa: F401

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError)
URL = "http://127.0.0.1/f"


class Lying:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return 65 + i


class NoLength(Lying):
    def __len__(self):
        raise RuntimeError("no length")


class Index:
    def __index__(self):
        return 300


ODD = [Lying(), NoLength(), Index(), "\ud800", object(), bytearray(b"ab"), memoryview(b"x"),
       range(3), [("a", "\ud800")], [("a",)], [["a", "b"]], math.nan, -math.inf, 2**64]

VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=6), st.binary(max_size=6),
    st.lists(st.integers(-2, 300), max_size=4),
    st.lists(st.tuples(st.text(max_size=3), st.text(max_size=3)), max_size=3),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2), st.sampled_from(ODD),
)
# Timeouts of the waiting calls: never long enough to slow the run.
SHORT_WAITS = st.one_of(
    st.floats(0, 0.002), st.floats(max_value=-1e-9), st.sampled_from([math.nan, math.inf]),
    st.text(max_size=2), st.integers(2**64, 2**70), st.sampled_from(ODD),
)

FUZZ = settings(derandomize=True, max_examples=300, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))


# Plausible values per parameter, so that conversions get past the first
# parameters and reach the later ones (and the Core) often enough.
BYTES = st.one_of(st.binary(max_size=6), st.lists(st.integers(0, 255), max_size=4),
                  st.sampled_from([Lying(), NoLength(), bytearray(b"ab"), [Index()]]))
HEADERS = st.lists(st.tuples(st.text(max_size=3), st.text(max_size=3)), max_size=3)
PLAUSIBLE = {
    **dict.fromkeys(["verify", "cache", "allow_redirects", "chunked", "final_chunk"],
                    st.booleans()),
    **dict.fromkeys(["ca_pem", "body", "data"], BYTES),
    "headers": st.one_of(HEADERS, st.just(Lying())),
    "protocols": st.one_of(st.lists(st.text(max_size=2), max_size=3), st.just(["p"] * 1025)),
    "timeout": st.one_of(st.none(), st.floats(0, 1e20), st.just(3e9)),
    "limit": st.integers(-1, 2**33), "code": st.integers(-1, 70000),
    "http_version": st.sampled_from(["h1", "h2", "auto", "bad"]),
    "redirect": st.sampled_from(["follow", "manual", "error", "bad"]),
}


def arguments(names, values=VALUES):
    """Positional and keyword arguments, sometimes too many or misnamed."""
    def value(name):
        if values is not VALUES:
            return values
        return st.one_of(PLAUSIBLE.get(name, st.text(max_size=6)), values)
    keywords = st.fixed_dictionaries({}, optional={n: value(n) for n in names})
    positional = st.lists(values, max_size=len(names) + 1)
    bogus = st.fixed_dictionaries({}, optional={"bogus": values})
    return st.one_of(st.tuples(st.just([]), keywords),
                     st.tuples(positional, bogus))


def call(fn, args):
    positional, keywords = args
    try:
        fn(*positional, **keywords)
    except ALLOWED:
        pass


ENGINE = ("impersonate", "proxy", "verify", "ca_pem", "user_agent", "accept_language",
          "proxy_username", "proxy_password", "http_version", "cache", "profile_namespace")
REQUEST = ("method", "url", "headers", "body", "timeout", "allow_redirects", "redirect",
           "cache", "priority", "chunked")
WEBSOCKET = ("url", "origin", "headers", "timeout", "protocols")


@pytest.fixture(scope="module")
def engine(native):
    return native.PyEngine()


@FUZZ
@given(args=arguments(ENGINE))
def test_engine_constructor(native, args):
    call(native.PyEngine, args)


@FUZZ
@given(request=arguments(REQUEST), websocket=arguments(WEBSOCKET))
def test_engine_factories(engine, request, websocket):
    call(engine.request, request)
    call(engine.websocket, websocket)


# Methods of a request that never wait on the network in the given state.
REQUEST_METHODS = {
    "start": (), "resume_read": (), "cancel": (), "is_finished": (), "follow_redirect": (),
    "take_redirects": (), "poll_event": (), "detach_callback": (), "poll_events": ("limit",),
    "attach_async": ("loop_", "notify"), "start_async": ("loop_", "notify"),
    "upload_write": ("data", "final_chunk"), "upload_finish": (),
}
UNSTARTED_ONLY = ("await_response", "next_body", "read_body")


@FUZZ
@given(started=st.booleans(), chunked=st.booleans(),
       steps=st.lists(st.tuples(st.sampled_from(sorted(REQUEST_METHODS) + list(UNSTARTED_ONLY)),
                                st.data()), max_size=6),
       wait=st.tuples(st.sampled_from(["wait_redirect", "wait_manual"]),
                      arguments(("timeout",), SHORT_WAITS)))
def test_request_methods(engine, started, chunked, steps, wait):
    request = engine.request("POST", URL, chunked=chunked)
    if started:
        request.start()
    for name, data in steps:
        if name in UNSTARTED_ONLY and started:
            continue
        params = REQUEST_METHODS.get(name, ())
        call(getattr(request, name), data.draw(arguments(params)) if params else ((), {}))
        # A start drawn among the steps makes the waits that follow wait on the
        # stand-in, which never answers.
        started = started or name in ("start", "start_async")
    name, (positional, keywords) = wait
    if positional or keywords:  # the default timeout would wait for long
        call(getattr(request, name), (positional, keywords))
    request.cancel()


WEBSOCKET_METHODS = {
    "connect": (), "cancel": (), "is_finished": (), "detach_callback": (), "poll_event": (),
    "poll_events": ("limit",), "send_text": ("text",), "send_bytes": ("data",),
    "close": ("code", "reason"), "start_async": ("loop_", "notify"),
}


@FUZZ
@given(steps=st.lists(st.tuples(st.sampled_from(sorted(WEBSOCKET_METHODS) + ["recv"]),
                                st.data()), max_size=6))
def test_websocket_methods(engine, steps):
    ws = engine.websocket("ws://127.0.0.1/f")
    connected = False
    for name, data in steps:
        if name == "recv" and connected:
            continue  # would wait for the network
        params = WEBSOCKET_METHODS.get(name, ())
        args = data.draw(arguments(params)) if params else ((), {})
        call(getattr(ws, name), args)
        connected = connected or name in ("connect", "start_async")
    ws.cancel()
