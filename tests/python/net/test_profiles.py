"""Profile namespaces as callers see them: engines naming the same namespace
share its cookie jar and HTTP cache, in this process and with other
processes; bad names, damaged databases and a namespace bound to another
impersonation profile fail engine creation; a database another process holds
locked never holds requests up, and the cookies it kept from being saved are
saved once it is free."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

from cache_server import Resp, fetch

HERE = str(Path(__file__).resolve().parent)
LONG = ("Cache-Control", "max-age=3600")
NO_STORE = ("Cache-Control", "no-store")


def database(state: Path, name: str) -> Path:
    return state / "halvane" / "profiles" / f"{name}.sqlite3"


def cookies_sent(origin, path) -> str | None:
    return origin.requests(path)[-1].header("cookie")


def cookie_names(header: str | None) -> set[str]:
    return {part.split("=")[0].strip() for part in (header or "").split(";") if part.strip()}


def script_cookies(origin, *set_cookies: str) -> str:
    path = origin.new_path("set")
    origin.script(path, Resp(headers=[NO_STORE] + [("Set-Cookie", c) for c in set_cookies]))
    return path


def script_echo(origin) -> str:
    path = origin.new_path("echo")
    origin.script(path, Resp(headers=[NO_STORE]))
    return path


def test_engines_in_a_process_share_cookies_and_cache(native, origin, namespace):
    first = native.PyEngine(profile_namespace=namespace)
    second = native.PyEngine(profile_namespace=namespace)
    other = native.PyEngine(profile_namespace=namespace + "-other")

    set_path = script_cookies(origin, "persist=1; Max-Age=3600", "session=1")
    assert fetch(first, origin.url(set_path)).error is None
    echo = script_echo(origin)
    assert fetch(second, origin.url(echo)).status == 200
    assert cookie_names(cookies_sent(origin, echo)) == {"persist", "session"}
    assert fetch(other, origin.url(echo)).status == 200
    assert cookies_sent(origin, echo) is None

    cached = origin.new_path("cached")
    origin.script(cached, Resp(headers=[LONG]))
    assert fetch(first, origin.url(cached)).body == b"response 1"
    result = fetch(second, origin.url(cached))
    assert (result.body, origin.count(cached)) == (b"response 1", 1)
    assert fetch(other, origin.url(cached)).body == b"response 2"


CHILD = textwrap.dedent("""
    import json
    import sys
    sys.path.insert(0, sys.argv[1])
    from conftest import _load_module
    from cache_server import fetch
    native = _load_module()
    engine = native.PyEngine(profile_namespace=sys.argv[2])
    results = []
    for url in sys.argv[3:]:
        result = fetch(engine, url)
        results.append([result.status, result.body.decode("latin-1"), result.error])
    print(json.dumps(results), flush=True)
""")


def run_child(state: Path, namespace: str, *urls: str) -> list:
    env = dict(os.environ, XDG_STATE_HOME=str(state))
    done = subprocess.run([sys.executable, "-c", CHILD, HERE, namespace, *urls], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_processes_share_persistent_cookies_and_cache(native, origin, state, namespace):
    engine = native.PyEngine(profile_namespace=namespace)
    set_path = script_cookies(origin, "persist=1; Max-Age=3600", "session=1")
    assert fetch(engine, origin.url(set_path)).error is None
    cached = origin.new_path("cached")
    origin.script(cached, Resp(headers=[LONG], body=b"stored once"))
    assert fetch(engine, origin.url(cached)).body == b"stored once"

    # Another process, while this one still uses the namespace: persistent
    # cookies and the cache travel, session cookies stay here.
    echo = script_echo(origin)
    child_set = script_cookies(origin, "from_child=2; Max-Age=3600", "child_session=3")
    results = run_child(state, namespace, origin.url(echo), origin.url(cached),
                        origin.url(child_set))
    assert [r[2] for r in results] == [None, None, None]
    assert cookie_names(origin.requests(echo)[0].header("cookie")) == {"persist"}
    assert results[1][1] == "stored once"
    assert origin.count(cached) == 1

    # What the other process stored reaches this one's next request.
    assert fetch(engine, origin.url(echo)).status == 200
    assert cookie_names(cookies_sent(origin, echo)) == {"persist", "session", "from_child"}

    # And a later run, this process's engine gone, finds it all again.
    del engine
    results = run_child(state, namespace, origin.url(echo), origin.url(cached))
    assert cookie_names(cookies_sent(origin, echo)) == {"persist", "from_child"}
    assert results[1][1] == "stored once"
    assert origin.count(cached) == 1


@pytest.mark.parametrize("name", [".hidden", "..", "a/b", "a b", "x" * 65, "caf\u00e9"])
def test_bad_namespace_name_fails_engine_creation(native, state, name):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        native.PyEngine(profile_namespace=name)
    assert not (state / "halvane").exists()


@pytest.mark.parametrize("content", [
    b"not a database at all\n" * 10,
    b"SQLite format 3\x00" + b"\x10\x00\x02\x02" + b"\x00" * 80,
], ids=["text", "truncated"])
def test_damaged_database_fails_engine_creation_and_stays_as_it_was(native, state, namespace,
                                                                  content):
    path = database(state, namespace)
    path.parent.mkdir(parents=True)
    path.write_bytes(content)
    with pytest.raises(RuntimeError, match="^InitializationFailed$"):
        native.PyEngine(profile_namespace=namespace)
    assert path.read_bytes() == content


def test_namespace_bound_to_another_profile(native, state, namespace):
    # A namespace a first engine with chrome_131 left behind: the binding is a
    # row of the meta table (the other tables are made at the next opening).
    path = database(state, namespace)
    path.parent.mkdir(parents=True)
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL)")
        db.executemany("INSERT INTO meta VALUES(?, ?)",
                       [("schema", 1), ("profile", "chrome_131"), ("cookie_version", 0)])
    db.close()
    with pytest.raises(RuntimeError, match="^ProfileConflict$"):
        native.PyEngine(profile_namespace=namespace)
    with pytest.raises(RuntimeError, match="^ProfileConflict$"):
        native.PyEngine(impersonate="firefox_133", profile_namespace=namespace)
    engine = native.PyEngine(impersonate="chrome_131", profile_namespace=namespace)
    # Once open in the process, the binding holds there too.
    with pytest.raises(RuntimeError, match="^ProfileConflict$"):
        native.PyEngine(profile_namespace=namespace)
    del engine


# Another process holding the namespace's write lock until the test lets go
# (a line, or the end of its input).
LOCKER = textwrap.dedent("""
    import sqlite3
    import sys
    db = sqlite3.connect(sys.argv[1], isolation_level=None)
    db.execute("BEGIN IMMEDIATE")
    print("locked", flush=True)
    sys.stdin.readline()
    db.execute("ROLLBACK")
    db.close()
""")


@contextmanager
def locked_by_another_process(path: Path):
    child = subprocess.Popen([sys.executable, "-c", LOCKER, str(path)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "locked\n"
        yield
    finally:
        child.stdin.close()
        assert child.wait(timeout=60) == 0


def stored_cookies(path: Path) -> set[str]:
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        names = {name for (name,) in db.execute("SELECT name FROM cookies")}
    db.close()
    return names


def test_a_locked_database_holds_no_request(native, origin, state, namespace):
    engine = native.PyEngine(profile_namespace=namespace)
    # Two stored entries: reading the older one marks it as used, a write.
    older, newer = origin.new_path("older"), origin.new_path("newer")
    for path in (older, newer):
        origin.script(path, Resp(headers=[LONG]))
        assert fetch(engine, origin.url(path)).body == b"response 1"
    fresh = origin.new_path("fresh")
    origin.script(fresh, Resp(headers=[LONG, ("Set-Cookie", "late=1; Max-Age=3600")]))
    echo = script_echo(origin)

    def get(path, results):
        request = engine.request("GET", origin.url(path), timeout=1)
        try:
            response = request.start_stream()
            results[path] = (response.status_code, bytes(request.read_body()))
        except RuntimeError as error:
            results[path] = str(error)

    with locked_by_another_process(database(state, namespace)):
        # Each would wait for the lock: the cache's use mark, the new entry,
        # the cookie save; the echo shares their network thread.
        results = {}
        threads = [threading.Thread(target=get, args=(p, results))
                   for p in (older, fresh, echo)]
        start = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        elapsed = time.monotonic() - start
        assert results == {older: (200, b"response 1"), fresh: (200, b"response 1"),
                           echo: (200, b"response 1")}
        assert elapsed < 5, "well before the lock ends"
        assert origin.count(older) == 1
    # Not stored while locked: fetched again.
    assert fetch(engine, origin.url(fresh)).body == b"response 2"


@pytest.mark.parametrize("after", ["engine_stays", "engine_ends"])
def test_cookies_a_locked_database_kept_out_are_saved_when_it_is_free(native, origin, state,
                                                                      namespace, after):
    engine = native.PyEngine(profile_namespace=namespace)
    path = database(state, namespace)
    set_path = script_cookies(origin, "late=1; Max-Age=3600")
    with locked_by_another_process(path):
        assert fetch(engine, origin.url(set_path)).error is None
        assert stored_cookies(path) == set()
    if after == "engine_ends":
        del engine  # its last attempt
    else:
        # No other Set-Cookie comes: the engine tries again by itself.
        deadline = time.monotonic() + 60
        while stored_cookies(path) != {"late"} and time.monotonic() < deadline:
            time.sleep(0.05)
    assert stored_cookies(path) == {"late"}
    echo = script_echo(origin)
    assert run_child(state, namespace, origin.url(echo))[0][2] is None
    assert cookie_names(cookies_sent(origin, echo)) == {"late"}
