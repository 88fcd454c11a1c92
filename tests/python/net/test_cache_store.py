"""What the cache stores, and when, as callers see it: updates from no-store
responses."""

from __future__ import annotations

import pytest

from cache_server import Resp, classify, fetch

STALE = ("Cache-Control", "max-age=0")
ETAG = ("ETag", '"v1"')


def outcome(origin, engine, path, **options):
    """What one request did at the origin, and its result."""
    before = origin.count(path)
    result = fetch(engine, origin.url(path), **options)
    return classify(origin.requests(path)[before:]), result


def engine_for(native, namespace, where):
    return native.PyEngine(profile_namespace=namespace if where == "disk" else None)


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
