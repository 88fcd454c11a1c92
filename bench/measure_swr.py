"""Stale-while-revalidate: the latency of a request whose stored response is
stale but may be served while it is revalidated, against the same request
without a cache. One measurement in a process of its own, as measure.py's.

Run: python measure_swr.py swr_get CLIENT CONFIG_JSON   (prints one JSON object)

Clients: "strandel_memory" (`strandel.Client()`, its engine's memory cache)
and "strandel_off" (`Client(cache=False)`). The origin is swr_server.py: each
answer, a revalidation's included, takes it `delay_ms`, and every stored copy
is stale at once. After a first fetch (which stores the response), `n`
sequential GETs of one URL start at most every `interval_ms`: with the cache,
each should be answered from the stale entry at once while one conditional
request refreshes it in the background; without, each waits for the origin.
The origin counts the requests it receives for this process's URL."""

import http.client
import json
import os
import statistics
import sys
import time
from collections import Counter
from urllib.parse import urlsplit

from cases import CASES, case


def origin_count(base, path):
    """What the origin has received for `path`: {"requests", "conditional"}.
    Asked over a connection of its own, never through the client measured."""
    parts = urlsplit(base)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        connection.request("GET", "/count" + path)
        response = connection.getresponse()
        if response.status != 200:
            raise RuntimeError(f"the origin's count answered {response.status}")
        return json.loads(response.read())
    finally:
        connection.close()


def percentile(values, fraction):
    """The `fraction` quantile, interpolated between the nearest ranks."""
    ordered = sorted(values)
    position = (len(ordered) - 1) * fraction
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


@case("swr_get")
def swr_get(client, cfg):
    import strandel

    # Nothing of the run may land in the user's state folder.
    os.environ["XDG_STATE_HOME"] = cfg["state"]
    if client not in ("strandel_memory", "strandel_off"):
        raise ValueError(f"unknown client {client}")
    # A path of this process's own: the origin's counts are this run's alone.
    path = f"/swr/{client}-{os.getpid()}"
    url = cfg["base"] + path
    interval = cfg["interval_ms"] / 1e3
    with strandel.Client(cache=client == "strandel_memory") as http_client:
        def get():
            response = http_client.get(url)
            if response.status_code != 200 or len(response.content) != cfg["size"]:
                raise RuntimeError(f"unexpected answer: {response.status_code}, "
                                   f"{len(response.content)} bytes")
            return response.extensions.get("cache_state") or "unknown"

        start = time.perf_counter()
        get()  # stores the response: from now on the entry is stale
        first = time.perf_counter() - start
        before = origin_count(cfg["base"], path)
        latencies = []
        states = Counter()
        began = time.perf_counter()
        next_start = began
        for _ in range(cfg["n"]):
            pause = next_start - time.perf_counter()
            if pause > 0:
                time.sleep(pause)
            start = time.perf_counter()
            states[get()] += 1
            latencies.append(time.perf_counter() - start)
            next_start = start + interval
        span = time.perf_counter() - began
        # A revalidation that the last answers started reaches the origin,
        # which counts it on arrival, well within one more delay.
        time.sleep(cfg["delay_ms"] / 1e3 + 0.1)
        after = origin_count(cfg["base"], path)
    ms = [t * 1e3 for t in latencies]
    return {
        "median_ms": statistics.median(ms), "p90_ms": percentile(ms, 0.9), "max_ms": max(ms),
        "first_ms": first * 1e3, "span_s": span, "n": cfg["n"],
        "origin": after["requests"] - before["requests"],
        "conditional": after["conditional"] - before["conditional"],
        # How the client says each measured answer came: "cache", "revalidated"
        # (waited for a 304) or "network".
        "states": dict(states),
    }


def main(argv):
    print(json.dumps(CASES[argv[1]](argv[2], json.loads(argv[3]))))


if __name__ == "__main__":
    main(sys.argv)
