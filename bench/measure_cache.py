"""HTTP cache measurements, run by measure.py in a process of their own.

Cases: cache_get (one resource fetched again and again), cache_fill (stores
many entries in a namespace on disk, or in hishel's database) and cache_open
(a new engine on such a namespace: its creation and its first cached GET).

Our clients: "memory" (the engine's private cache), "disk" (a profile
namespace, kept in SQLite under $XDG_STATE_HOME), "off" (cache=False: every
request goes to the network), all on the low-level module; "strandel_memory"
and "strandel_off", the package's `Client.get` with its engine's memory cache
and with cache=False: each cached row's network path is its "off" row. The
peer: "hishel", httpx with hishel's SQLite storage, following the response's
caching headers (rfc=True). cache_get also reports the CPU time of this
process per request (cpu.py)."""

import os
import statistics
import time
from pathlib import Path

from cases import case
from cpu import cpu_seconds, cpu_used


def use_state_home(cfg):
    # Namespaces live under $XDG_STATE_HOME/halvane/profiles: a folder of the
    # run, never the user's own. Set before the first engine reads it.
    os.environ["XDG_STATE_HOME"] = cfg["state"]


def native_engine(client, cfg):
    import strandel_native36

    use_state_home(cfg)
    if client == "memory":
        return strandel_native36.PyEngine()
    if client == "disk":
        return strandel_native36.PyEngine(profile_namespace=cfg["namespace"])
    if client == "off":
        return strandel_native36.PyEngine(cache=False)
    raise ValueError(f"unknown client {client}")


def native_get(engine, url):
    """(body length, whether the cache answered): a response from the cache
    carries the Age field the cache adds, and nginx sends none."""
    request = engine.request("GET", url)
    response = request.start_stream()
    if response.status_code != 200:
        raise RuntimeError(f"unexpected status {response.status_code}")
    from_cache = b"\r\nage:" in bytes(response.headers).lower()
    return len(request.read_body_bytes()), from_cache


def hishel_client(cfg):
    import hishel
    import hishel.httpx

    storage = hishel.SqliteStorage(database_path=str(Path(cfg["state"]) / cfg["database"]))
    return hishel.httpx.CacheClient(storage=storage, rfc=True)


def hishel_get(client, url):
    response = client.get(url)
    if response.status_code != 200:
        raise RuntimeError(f"unexpected status {response.status_code}")
    return len(response.content), response.extensions["caching"]["from_cache"]


def strandel_getter(client, cfg):
    import strandel

    use_state_home(cfg)
    http = strandel.Client(cache=client == "strandel_memory")
    url = cfg["url"]

    def get():
        response = http.get(url)
        if response.status_code != 200:
            raise RuntimeError(f"unexpected status {response.status_code}")
        # As native_get: the cache's Age field tells a cached answer.
        return len(response.content), "age" in response.headers

    return get


def getter(client, cfg):
    """get() fetches the resource: (its length, whether the cache answered)."""
    url = cfg["url"]
    if client == "hishel":
        http = hishel_client(cfg)
        return lambda: hishel_get(http, url)
    if client.startswith("strandel_"):
        return strandel_getter(client, cfg)
    engine = native_engine(client, cfg)
    return lambda: native_get(engine, url)


@case("cache_get")
def cache_get(client, cfg):
    get = getter(client, cfg)
    for _ in range(cfg["warmup"]):
        get()
    rates = []
    hits = 0
    cpu_start = cpu_seconds(cfg)
    for _ in range(cfg["rounds"]):
        total = 0
        start = time.perf_counter()
        for _ in range(cfg["n"]):
            length, from_cache = get()
            total += length
            hits += from_cache
        elapsed = time.perf_counter() - start
        if total != cfg["n"] * cfg["size"]:
            raise RuntimeError(f"read {total} bytes, expected {cfg['n'] * cfg['size']}")
        rates.append(cfg["n"] / elapsed)
    count = cfg["rounds"] * cfg["n"]
    cpu = cpu_used(cpu_start, cpu_seconds(cfg), count)
    rate = statistics.median(rates)
    source = {0: "network", count: "cache"}.get(hits, f"cache {hits / count:.0%}")
    return {"rate": rate, "mbps": rate * cfg["size"] / 1e6, "source": source, **cpu}


def entry_urls(cfg):
    return [f"{cfg['url']}?entry={i}" for i in range(cfg["entries"])]


@case("cache_fill")
def cache_fill(client, cfg):
    urls = entry_urls(cfg)
    start = time.perf_counter()
    if client == "hishel":
        http = hishel_client(cfg)
        for url in urls:
            hishel_get(http, url)
        http.close()
    else:
        engine = native_engine(client, cfg)
        for url in urls:
            native_get(engine, url)
        if not native_get(engine, urls[-1])[1]:
            raise RuntimeError("the namespace did not store the entries")
    return {"entries": len(urls), "fill_s": time.perf_counter() - start}


@case("cache_open")
def cache_open(client, cfg):
    """A new engine (for hishel: a client on its storage) on the entries that
    cache_fill left, then one GET of an entry in the middle."""
    url = entry_urls(cfg)[cfg["entries"] // 2]
    if client == "hishel":
        import hishel.httpx  # noqa: F401 - imported before the clock starts

        start = time.perf_counter()
        http = hishel_client(cfg)
        opened = time.perf_counter()
        _, from_cache = hishel_get(http, url)
        done = time.perf_counter()
    else:
        import strandel_native36  # noqa: F401 - imported before the clock starts

        start = time.perf_counter()
        engine = native_engine(client, cfg)
        opened = time.perf_counter()
        _, from_cache = native_get(engine, url)
        done = time.perf_counter()
    return {"open_ms": (opened - start) * 1e3, "first_ms": (done - opened) * 1e3,
            "total_ms": (done - start) * 1e3, "source": "cache" if from_cache else "network"}
