"""What the cache stores, and when, as callers see it: a revalidation that
ends after the URL's entry changed, updates from no-store responses, what a
namespace's disk cache keeps of credentials and cookies, and what its bound
counts."""

from __future__ import annotations

import sqlite3

import pytest

from cache_server import Gate, Resp, fetch, outcome

LONG = ("Cache-Control", "max-age=3600")
STALE = ("Cache-Control", "max-age=0")
ETAG = ("ETag", '"v1"')
CACHE_MISS = "CacheMiss (Chromium net error -400)"


def engine_for(native, namespace, where):
    return native.PyEngine(profile_namespace=namespace if where == "disk" else None)


def version(n: int, *fields) -> Resp:
    """A response that is always stale, whose ETag, length and bytes tell
    which version it is."""
    return Resp(headers=[STALE, ("ETag", f'"{n}"'), *fields],
                body=str(n).encode() * (1000 + 111 * n))


@pytest.mark.parametrize("where", ["memory", "disk"])
@pytest.mark.parametrize("change", ["version", "variant"])
def test_late_304_leaves_a_newer_entry_alone(native, origin, namespace, where, change):
    # A revalidation's 304 arrives after another request stored a newer
    # version, or another variant, of the URL: the 304 confirms what its own
    # request asked about, and renews nothing else.
    engine = engine_for(native, namespace, where)
    path = origin.new_path()
    vary = [("Vary", "Accept-Language")] if change == "variant" else []
    asked = [("Accept-Language", "en")] if vary else []
    newer = [("Accept-Language", "fr")] if vary else []
    gate = Gate()
    origin.script(path, version(1, *vary),
                  Resp(304, [STALE, ("ETag", '"1"'), ("X-Renewed", "yes"), *vary], gate=gate),
                  version(2, *vary))
    assert outcome(origin, engine, path, headers=asked)[0] == "miss"

    revalidating = engine.request("GET", origin.url(path), headers=asked or None)
    revalidating.start()
    try:
        assert gate.arrived.wait(10)
        stored = fetch(engine, origin.url(path), headers=newer, cache="bypass")
        assert (stored.status, len(stored.body)) == (200, 1222)
    finally:
        gate.opened.set()
    response = revalidating.await_response()
    body = bytes(revalidating.read_body())
    assert origin.requests(path)[1].header("If-None-Match") == '"1"'
    assert (response.status_code, body) == (200, b"1" * 1111)
    assert b"\r\nX-Renewed: yes\r\n" in bytes(response.headers)

    latest = fetch(engine, origin.url(path), headers=newer, cache="only_if_cached")
    assert (latest.status, latest.body) == (200, b"2" * 1222)
    assert (latest.header("ETag"), latest.header("Content-Length")) == (['"2"'], ["1222"])
    assert latest.header("X-Renewed") == []
    if vary:
        # The variant the 304 confirmed was replaced: nothing answers for it.
        assert fetch(engine, origin.url(path), headers=asked,
                     cache="only_if_cached").error == CACHE_MISS


@pytest.mark.parametrize("where", ["memory", "disk"])
@pytest.mark.parametrize("update", ["304", "head", "head_asked_no_store"])
def test_no_store_update_leaves_the_entry_as_stored(native, origin, namespace, where, update):
    engine = engine_for(native, namespace, where)
    path = origin.new_path()
    no_store = [] if update == "head_asked_no_store" else [("Cache-Control", "no-store")]
    origin.script(path, Resp(headers=[STALE, ETAG, ("X-Version", "1")], body=b"stored body"),
                  Resp(304 if update == "304" else 200, [ETAG, ("X-Version", "2"), *no_store],
                       body=b"stored body"))
    assert outcome(origin, engine, path)[0] == "miss"
    if update == "304":
        state, result = outcome(origin, engine, path)
        assert (state, result.body) == ("revalidate", b"stored body")
        assert result.header("X-Version") == ["2"]  # this response is the renewed one
    else:
        asked = [("Cache-Control", "no-store")] if not no_store else []
        result = fetch(engine, origin.url(path), method="HEAD", headers=asked)
        assert (result.status, result.header("X-Version")) == (200, ["2"])

    kept = fetch(engine, origin.url(path), cache="only_if_cached")
    assert (kept.status, kept.body, kept.header("X-Version")) == (200, b"stored body", ["1"])
    assert kept.header("Cache-Control") == ["max-age=0"]


def test_disk_cache_keeps_no_credential_or_cookie(native, origin, namespace, state):
    engine = native.PyEngine(profile_namespace=namespace)
    path = origin.new_path()
    cookie = "sid=cookie-secret-7f3a; Path=/"  # a session cookie: never in the cookie table
    origin.script(path, Resp(headers=[LONG, ("Vary", "Authorization"), ("Set-Cookie", cookie),
                                      ("Set-Cookie2", "old=cookie2-secret-9c1d")],
                             body=b"for one user"))
    token = [("Authorization", "Bearer token-secret-51e0")]

    seen, first = outcome(origin, engine, path, headers=token)
    assert seen == "miss"
    # The response from the network is the caller's as sent.
    assert first.header("Set-Cookie") == [cookie]
    seen, hit = outcome(origin, engine, path, headers=token)
    assert (seen, hit.body) == ("hit", b"for one user")
    assert hit.header("Set-Cookie") == [] and hit.header("Set-Cookie2") == []
    # The digest kept for Vary still tells one token from another.
    assert outcome(origin, engine, path, headers=[("Authorization", "Bearer other")])[0] == "miss"
    assert outcome(origin, engine, path, headers=token)[0] == "miss"

    files = list((state / "halvane" / "profiles").glob(namespace + ".sqlite3*"))
    assert files
    data = b"".join(f.read_bytes() for f in files)
    for secret in (b"token-secret-51e0", b"cookie-secret-7f3a", b"cookie2-secret-9c1d"):
        assert secret not in data, secret


def test_disk_bound_counts_urls(native, origin, namespace, state, monkeypatch):
    # Long URLs with tiny bodies: what the database holds stays within the
    # bound, for the URLs count against it.
    bound = 1024 * 1024
    monkeypatch.setenv("HALVANE_DISK_CACHE_BYTES", str(bound))
    engine = native.PyEngine(profile_namespace=namespace)
    for _ in range(100):
        path = origin.new_path() + "?" + "q" * 32768
        origin.script(path, Resp(headers=[LONG], body=b"ten bytes."))
        assert fetch(engine, origin.url(path)).body == b"ten bytes."
    database = sqlite3.connect(state / "halvane" / "profiles" / f"{namespace}.sqlite3")
    try:
        pages, free, page_size = (database.execute(f"PRAGMA {name}").fetchone()[0]
                                  for name in ("page_count", "freelist_count", "page_size"))
    finally:
        database.close()
    assert (pages - free) * page_size <= bound * 5 // 4
