"""The engine's HTTP cache as callers see it: what is stored and reused, the
cache modes, redirects from the cache, failed transfers, flow control of
stored bodies, the stores' bounds, and engines without a cache."""

from __future__ import annotations

import asyncio
import gzip
import hashlib
import os
import time

import pytest

from cache_server import Resp, http_date, outcome

MIB = 1024 * 1024
LONG = ("Cache-Control", "max-age=3600")
ETAG = ("ETag", '"v1"')
CACHE_MISS = "CacheMiss (Chromium net error -400)"


def drain(request) -> tuple[int, str]:
    """Reads a started request's body chunk by chunk: its length and digest."""
    digest = hashlib.sha256()
    total = 0
    while (chunk := request.next_body()) is not None:
        digest.update(bytes(chunk))
        total += len(chunk)
    return total, digest.hexdigest()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---- what is stored and reused -------------------------------------------------------

def at(offset):
    """An HTTP-date `offset` seconds from when the test runs."""
    return lambda: http_date(offset)


@pytest.mark.parametrize("fields,second", [
    ([LONG], "hit"),
    ([LONG, ("Date", at(-7200))], "miss"),
    ([("Expires", at(3600))], "hit"),
    ([("Expires", at(-3600))], "miss"),
    ([("Last-Modified", at(-10 * 86400))], "hit"),  # heuristic: a tenth of its age
    ([("Last-Modified", at(-1000)), ("Date", at(-200))], "revalidate"),
    ([], "miss"),
], ids=["max_age", "max_age_stale", "expires", "expires_past", "heuristic", "heuristic_stale",
        "no_lifetime"])
def test_freshness(native, origin, fields, second):
    engine = native.PyEngine()
    path = origin.new_path()
    origin.script(path, Resp(headers=[(n, v() if callable(v) else v) for n, v in fields]))
    assert outcome(origin, engine, path)[0] == "miss"
    state, result = outcome(origin, engine, path)
    assert state == second
    assert result.body == (b"response 1" if second == "hit" else b"response 2")


def test_delivered_head_is_the_stored_block_with_its_age(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG, ("X-A", "1"), ("Age", "5"), ("X-B", "2")]))
    _, first = outcome(origin, engine, path)
    state, second = outcome(origin, engine, path)
    assert state == "hit"
    assert second.status == 200
    assert second.head.startswith(b"HTTP/1.1 200 OK\r\n") and second.head.endswith(b"\r\n\r\n")
    [age] = second.header("Age")
    assert int(age) >= 5

    def without_age(head):
        return [line for line in head.split(b"\r\n") if not line.lower().startswith(b"age:")]

    assert without_age(second.head) == without_age(first.head)
    assert second.head.count(b"\r\nAge: ") == 1


def test_vary_on_a_request_header(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG, ("Vary", "Accept-Language")]))
    english = [("Accept-Language", "en")]
    assert outcome(origin, engine, path, headers=english)[0] == "miss"
    assert outcome(origin, engine, path, headers=english)[0] == "hit"
    assert outcome(origin, engine, path, headers=[("Accept-Language", "fr")])[0] == "miss"


def test_vary_sees_the_engines_own_defaults(native, origin, namespace):
    # Engines sharing a namespace's cache send different default headers;
    # what Vary names is compared as sent, not as the caller gave it.
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG, ("Vary", "User-Agent")]))
    first = native.PyEngine(user_agent="one/1", profile_namespace=namespace)
    second = native.PyEngine(user_agent="two/2", profile_namespace=namespace)
    assert outcome(origin, first, path)[0] == "miss"
    assert outcome(origin, first, path)[0] == "hit"
    assert outcome(origin, second, path)[0] == "miss"


@pytest.mark.parametrize("validator,condition", [
    (("ETag", '"abc"'), ("If-None-Match", '"abc"')),
    (("Last-Modified", "Mon, 01 Jan 2001 00:00:00 GMT"),
     ("If-Modified-Since", "Mon, 01 Jan 2001 00:00:00 GMT")),
], ids=["etag", "last_modified"])
def test_validation_with_304_updates_the_head(engine, origin, validator, condition):
    path = origin.new_path()
    origin.script(path,
                  Resp(headers=[("Cache-Control", "no-cache"), validator, ("X-Version", "1")],
                       body=b"stored body"),
                  Resp(304, [("X-Version", "2")]))
    outcome(origin, engine, path)
    state, result = outcome(origin, engine, path)
    assert state == "revalidate"
    assert origin.requests(path)[-1].header(condition[0]) == condition[1]
    assert (result.status, result.body) == (200, b"stored body")
    assert result.header("X-Version") == ["2"]
    assert result.header("Content-Length") == [str(len(b"stored body"))]


@pytest.mark.parametrize("framing", ["length", "chunked", "gzip"])
def test_stored_body_is_the_decoded_body(engine, origin, framing):
    text = b"a body worth compressing\n" * 500
    fields, body, chunked = [LONG], text, framing == "chunked"
    if framing == "gzip":
        fields, body = [LONG, ("Content-Encoding", "gzip")], gzip.compress(text)
    path = origin.new_path()
    origin.script(path, Resp(headers=fields, body=body, chunked=chunked))
    assert outcome(origin, engine, path)[1].body == text
    state, result = outcome(origin, engine, path)
    assert (state, result.status, result.body) == ("hit", 200, text)


def test_hit_through_the_event_loop(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG], body=b"from the loop"))
    outcome(origin, engine, path)

    async def main():
        loop = asyncio.get_running_loop()
        request = engine.request("GET", origin.url(path))
        done = loop.create_future()
        kinds, body = [], bytearray()

        def notify():
            for kind, _status, _headers, data, message in request.poll_events():
                if kind not in kinds:
                    kinds.append(kind)
                if kind == "body":
                    body.extend(data)
                elif kind in ("done", "error") and not done.done():
                    done.set_result(message)

        request.start_async(loop, notify)
        assert await asyncio.wait_for(done, 10) is None
        return kinds, bytes(body)

    assert asyncio.run(main()) == (["response", "body", "done"], b"from the loop")
    assert origin.count(path) == 1


@pytest.mark.parametrize("request_headers,response_fields", [
    ([("Cache-Control", "no-store")], [LONG]),
    ([], [("Cache-Control", "max-age=3600, no-store")]),
], ids=["request", "response"])
def test_no_store(engine, origin, request_headers, response_fields):
    path = origin.new_path()
    origin.script(path, Resp(headers=response_fields))
    assert outcome(origin, engine, path, headers=request_headers)[0] == "miss"
    assert outcome(origin, engine, path)[0] == "miss"


def test_post_invalidates(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG]), Resp(201), Resp(headers=[LONG]))
    outcome(origin, engine, path)
    assert outcome(origin, engine, path)[0] == "hit"
    assert outcome(origin, engine, path, method="POST", body=b"new")[0] == "miss"
    state, result = outcome(origin, engine, path)
    assert (state, result.body) == ("miss", b"response 3")


# ---- cache modes ---------------------------------------------------------------------

# What a request in each mode does with a fresh entry, a stale one and none,
# and whether what it fetched on a miss is stored.
MODES = [
    # mode,            fresh,        stale,        miss,   stores
    ("default",        "hit",        "revalidate", "miss", True),
    ("validate",       "revalidate", "revalidate", "miss", True),
    ("bypass",         "miss",       "miss",       "miss", True),
    ("no_store",       "miss",       "miss",       "miss", False),
    ("force",          "hit",        "hit",        "miss", True),
    ("only_if_cached", "hit",        "hit",        "error", False),
]


@pytest.mark.parametrize("mode,fresh,stale,miss,stores", MODES, ids=[m[0] for m in MODES])
def test_cache_modes(native, origin, mode, fresh, stale, miss, stores):
    engine = native.PyEngine()
    for state, lifetime, expected in (("fresh", "max-age=3600", fresh),
                                      ("stale", "max-age=0", stale)):
        path = origin.new_path(state)
        origin.script(path, Resp(headers=[("Cache-Control", lifetime), ETAG]))
        assert outcome(origin, engine, path)[0] == "miss"
        got, result = outcome(origin, engine, path, cache=mode)
        assert (state, got) == (state, expected)
        assert result.status == 200
        assert result.body == (b"response 1" if expected == "hit" else b"response 2")

    path = origin.new_path("miss")
    origin.script(path, Resp(headers=[LONG]))
    got, result = outcome(origin, engine, path, cache=mode)
    if miss == "error":
        assert (got, result.error) == ("hit", CACHE_MISS)  # the origin saw nothing
    else:
        assert (got, result.error) == (miss, None)
    assert outcome(origin, engine, path)[0] == ("hit" if stores else "miss")


def test_only_if_cached_miss_raises_cache_miss(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG]))
    request = engine.request("GET", origin.url(path), cache="only_if_cached")
    with pytest.raises(RuntimeError, match=r"^CacheMiss \(Chromium net error -400\)$"):
        request.start_stream()
    assert origin.count(path) == 0


def test_engine_without_cache_never_hits(native, origin):
    engine = native.PyEngine(cache=False)
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG]))
    for mode in (None, "default", "force", "validate"):
        assert outcome(origin, engine, path, cache=mode)[0] == "miss", mode
    state, result = outcome(origin, engine, path, cache="only_if_cached")
    assert (state, result.error) == ("hit", CACHE_MISS)


# ---- redirects from the cache --------------------------------------------------------

def run_redirect(engine, url, mode):
    """Requests `url` in a redirect mode: the redirects reported and the
    final status and body (or the error)."""
    request = engine.request("GET", url, redirect=mode)
    if mode == "manual":
        request.start()
        redirect, head = request.wait_manual(10)
        assert head is None
        request.follow_redirect()
        nothing, head = request.wait_manual(10)
        assert nothing is None
        reported = [(redirect[0], bytes(redirect[1]), redirect[2], redirect[3])]
        return reported, head[0], bytes(request.read_body())
    try:
        response = request.start_stream()
        final = (response.status_code, bytes(request.read_body()))
    except RuntimeError as error:
        final = (None, str(error))
    return [(s, bytes(h), t, m) for s, h, t, m in request.take_redirects()], *final


@pytest.mark.parametrize("mode", ["follow", "manual", "error"])
def test_cached_301_is_reported_in_every_redirect_mode(native, origin, mode):
    engine = native.PyEngine()
    path = origin.new_path()
    origin.script(path, Resp(301, [("Location", path + "/t"), LONG]))
    origin.script(path + "/t", Resp(headers=[LONG], body=b"target"))
    target = origin.url(path + "/t")
    expected = (200, b"target") if mode != "error" else (None,
                                                         "Redirect (Chromium net error -311)")

    first, *final = run_redirect(engine, origin.url(path), mode)
    assert [(s, t, m) for s, _, t, m in first] == [(301, target, "GET")]
    assert tuple(final) == expected
    seen = origin.count(path), origin.count(path + "/t")

    again, *final = run_redirect(engine, origin.url(path), mode)
    assert (origin.count(path), origin.count(path + "/t")) == seen  # nothing went out
    assert [(s, t, m) for s, _, t, m in again] == [(301, target, "GET")]
    assert tuple(final) == expected
    head = again[0][1]
    assert head.startswith(b"HTTP/1.1 301 ") and b"\r\nAge: " in head
    assert f"\r\nLocation: {path}/t\r\n".encode() in head


# ---- failed transfers leave nothing --------------------------------------------------

def test_cancelled_transfer_is_not_stored(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG], size=4 * MIB, stall=True), Resp(headers=[LONG]))
    request = engine.request("GET", origin.url(path))
    request.start_stream()
    assert request.next_body()  # the body is under way
    request.cancel()
    with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)$"):
        while request.next_body() is not None:
            pass
    state, result = outcome(origin, engine, path)
    assert (state, result.body) == ("miss", b"response 2")
    assert outcome(origin, engine, path)[0] == "hit"


def test_truncated_transfer_is_not_stored(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG], body=b"x" * 1000, truncate=True),
                  Resp(headers=[LONG]))
    _, failed = outcome(origin, engine, path)
    assert failed.error == "Network (Chromium net error -354)"
    state, result = outcome(origin, engine, path)
    assert (state, result.body) == ("miss", b"response 2")
    assert outcome(origin, engine, path)[0] == "hit"


# ---- stored bodies: flow control, disk, bounds ---------------------------------------

def store_big(engine, origin, path, size, fill=b"x"):
    origin.script(path, Resp(headers=[LONG], size=size, fill=fill))
    request = engine.request("GET", origin.url(path))
    request.start_stream()
    return drain(request)


def test_cached_body_keeps_flow_control(native, origin, namespace):
    engine = native.PyEngine(profile_namespace=namespace)
    path = origin.new_path()
    stored = store_big(engine, origin, path, 20 * MIB, fill=bytes(range(251)))
    assert stored[0] == 20 * MIB
    start = rss_bytes()
    peak = start

    request = engine.request("GET", origin.url(path))
    request.start_stream()
    digest = hashlib.sha256()
    total = chunks = 0
    while (chunk := request.next_body()) is not None:
        digest.update(bytes(chunk))
        total += len(chunk)
        chunks += 1
        if chunks % 16 == 0:
            peak = max(peak, rss_bytes())
            time.sleep(0.01)  # a reader slower than the store
    assert origin.count(path) == 1
    assert (total, digest.hexdigest()) == stored
    # A sanitizer's allocator keeps freed memory in quarantine: resident size
    # says nothing about what the client holds there.
    if not os.environ.get("STRANDEL_SANITIZED"):
        assert peak - start < 8 * MIB, f"resident memory grew by {(peak - start) / MIB:.1f} MiB"


def test_cancel_while_a_stored_body_is_paused(engine, origin):
    path = origin.new_path()
    stored = store_big(engine, origin, path, 8 * MIB - 4096)
    request = engine.request("GET", origin.url(path))
    request.start_stream()
    assert request.next_body()  # the rest waits behind flow control
    request.cancel()
    with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)$"):
        while request.next_body() is not None:
            pass
    # The entry is still whole for the next reader.
    request = engine.request("GET", origin.url(path), cache="only_if_cached")
    request.start_stream()
    assert drain(request) == stored


@pytest.mark.parametrize("where", ["memory", "disk"])
def test_entry_replaced_while_it_is_read(native, origin, namespace, where):
    engine = native.PyEngine(profile_namespace=namespace if where == "disk" else None)
    # On disk, another engine of the namespace replaces it.
    other = native.PyEngine(profile_namespace=namespace) if where == "disk" else engine
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG], size=6 * MIB, fill=b"old"),
                  Resp(headers=[LONG], size=6 * MIB, fill=b"new"))
    request = engine.request("GET", origin.url(path))
    request.start_stream()
    old = drain(request)

    reader = engine.request("GET", origin.url(path))
    reader.start_stream()
    first = bytes(reader.next_body())  # the rest waits behind flow control
    replacing = other.request("GET", origin.url(path), cache="bypass")
    replacing.start_stream()
    new = drain(replacing)
    assert new != old

    # Whatever the store, the reader finishes the body it started.
    digest = hashlib.sha256(first)
    total = len(first)
    while (chunk := reader.next_body()) is not None:
        digest.update(bytes(chunk))
        total += len(chunk)
    assert (total, digest.hexdigest()) == old
    request = engine.request("GET", origin.url(path), cache="only_if_cached")
    request.start_stream()
    assert drain(request) == new


@pytest.mark.parametrize("where", ["memory", "disk"])
def test_concurrent_misses_leave_one_whole_entry(native, origin, namespace, where):
    engine = native.PyEngine(profile_namespace=namespace if where == "disk" else None)
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG], size=2 * MIB, fill=b"abc"))
    requests = [engine.request("GET", origin.url(path)) for _ in range(4)]
    for request in requests:
        request.start()
    bodies = set()
    for request in requests:
        request.await_response()
        bodies.add(drain(request))
    assert len(bodies) == 1
    request = engine.request("GET", origin.url(path), cache="only_if_cached")
    request.start_stream()
    assert {drain(request)} == bodies


def test_namespace_cache_outlives_its_engine(native, origin, namespace):
    path = origin.new_path()
    origin.script(path, Resp(headers=[LONG]))
    first = native.PyEngine(profile_namespace=namespace)
    assert outcome(origin, first, path)[0] == "miss"
    del first
    second = native.PyEngine(profile_namespace=namespace)
    state, result = outcome(origin, second, path)
    assert (state, result.body) == ("hit", b"response 1")
    # Another namespace has a cache of its own.
    other = native.PyEngine(profile_namespace=namespace + "-other")
    assert outcome(origin, other, path)[0] == "miss"


def test_memory_bound_evicts_the_least_recently_used(native, origin):
    engine = native.PyEngine()  # no namespace: 64 MiB in memory
    paths = [origin.new_path(f"e{i}") for i in range(10)]
    for i, path in enumerate(paths):
        store_big(engine, origin, path, 7 * MIB, fill=bytes([i]))
    before = origin.count(paths[0])
    request = engine.request("GET", origin.url(paths[0]), cache="only_if_cached")
    with pytest.raises(RuntimeError, match=r"^CacheMiss \(Chromium net error -400\)$"):
        request.start_stream()
    request = engine.request("GET", origin.url(paths[-1]), cache="only_if_cached")
    request.start_stream()
    assert drain(request)[0] == 7 * MIB
    assert origin.count(paths[0]) == before

    # An entry larger than an eighth of the bound is never stored.
    huge = origin.new_path("huge")
    store_big(engine, origin, huge, 9 * MIB)
    assert outcome(origin, engine, huge, cache="only_if_cached")[1].error == CACHE_MISS


def test_disk_bound_evicts_the_least_recently_used(native, origin, namespace, monkeypatch):
    monkeypatch.setenv("HALVANE_DISK_CACHE_BYTES", str(8 * MIB))  # entries up to 1 MiB
    engine = native.PyEngine(profile_namespace=namespace)
    paths = [origin.new_path(f"d{i}") for i in range(12)]
    for i, path in enumerate(paths):
        store_big(engine, origin, path, 900 * 1024, fill=bytes([i]))
        if i == 5:
            # Used again, the first entry is no longer the least recent.
            assert outcome(origin, engine, paths[0])[0] == "hit"
    assert outcome(origin, engine, paths[0], cache="only_if_cached")[1].error is None
    assert outcome(origin, engine, paths[1], cache="only_if_cached")[1].error == CACHE_MISS
    assert outcome(origin, engine, paths[-1], cache="only_if_cached")[1].error is None
