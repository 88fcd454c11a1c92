"""One measurement in a process of its own, so that imports, connections and
peak memory of one client never affect another.

Run: python measure.py CASE CLIENT CONFIG_JSON   (prints one JSON object)

Cases: seq (sequential GETs), conc (GETs with many in flight on asyncio),
stream (one large body read chunk by chunk), listbound (list(chunk) on bytes),
ws_rtt and ws_bulk (WebSocket echo); the HTTP cache's cases are in
measure_cache.py.

Client "ours" is the low-level module (strandel_native36), "strandel" the
package built on it; the others are the peers. "pycurl" is pycurl as pip
installs it (the wheel, with a libcurl of its own); "pycurl_system" is pycurl
built from source on the system's libcurl, imported from a folder of its own
(PRIVATE_PATHS) that goes first on sys.path in its process alone. A client
named "NAME@VERSION" is NAME told to use that protocol ("h2", "h3"). seq,
conc, stream and the cache's cache_get also report the CPU time of this
process (all its threads) and, when the config names the server's process
("server_pid"), the server's; the pycurl clients report `pycurl.version`."""

import asyncio
import inspect
import json
import os
import ssl
import statistics
import sys
import time
from pathlib import Path

from cases import CASES, case
from cpu import cpu_seconds, cpu_used

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# Clients whose package is installed outside the venv (bench/run.sh puts it
# there): its folder goes first on sys.path before anything is imported.
PRIVATE_PATHS = {"pycurl_system": ROOT / "build" / "bench-pycurl-system"}
# The folder of PRIVATE_PATHS this process put first, if any.
private_path = None


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak_rss():
    # Writing 5 resets the peak resident size (VmHWM) to the current one.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def native():
    import strandel_native36

    return strandel_native36


def ssl_context(cfg):
    return ssl.create_default_context(cafile=cfg["ca"]) if cfg.get("ca") else None


def ca_pem(cfg):
    with open(cfg["ca"], "rb") as f:
        return f.read()


def engine(cfg):
    options = {"ca_pem": ca_pem(cfg) if cfg.get("ca") else None}
    if cfg.get("http_version"):
        options["http_version"] = cfg["http_version"]
    return native().PyEngine(**options)


# curl_cffi's protocol names (libcurl's) and its answer in Response.http_version.
CURL_CFFI_VERSIONS = {"h2": "V2TLS", "h3": "V3ONLY"}
CURL_VERSION_NAMES = {1: "HTTP/1.0", 2: "HTTP/1.1", 3: "HTTP/2", 30: "HTTP/3"}


def strandel_options(cfg):
    return {"ca_file": cfg.get("ca"), "http_version": cfg.get("http_version")}


def curl_cffi_options(cfg):
    from curl_cffi import CurlHttpVersion

    version = CURL_CFFI_VERSIONS.get(cfg.get("http_version"), "V1_1")
    return {"verify": cfg.get("ca") or True, "http_version": getattr(CurlHttpVersion, version)}


# ---- sequential GETs on one kept-alive connection --------------------------------


def seq_ours(cfg):
    ours = engine(cfg)
    url = cfg["url"]

    def get():
        request = ours.request("GET", url)
        if request.start_stream().status_code != 200:
            raise RuntimeError("unexpected status")
        return len(request.read_body())

    return get


def seq_strandel(cfg):
    import strandel

    client = strandel.Client(**strandel_options(cfg))
    url = cfg["url"]

    def get():
        response = client.get(url)
        if response.status_code != 200:
            raise RuntimeError("unexpected status")
        return len(response.content)

    return get


def pycurl_module():
    """pycurl, after checking that the process imports the build it was told
    to (the wheel, or the one of PRIVATE_PATHS)."""
    import pycurl

    imported = Path(pycurl.__file__).resolve()
    if private_path is not None and not imported.is_relative_to(private_path.resolve()):
        raise RuntimeError(f"pycurl was imported from {imported}, not from {private_path}")
    return pycurl


def seq_pycurl(cfg):
    pycurl = pycurl_module()
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, cfg["url"])
    pieces = []
    curl.setopt(pycurl.WRITEFUNCTION, pieces.append)

    def get():
        pieces.clear()
        curl.perform()
        if curl.getinfo(pycurl.RESPONSE_CODE) != 200:
            raise RuntimeError("unexpected status")
        return len(b"".join(pieces))

    return get


seq_pycurl_system = seq_pycurl


def session_getter(session, url):
    """One GET of `url` on a requests-style session: the body's length."""
    def get():
        response = session.get(url)
        response.raise_for_status()
        return len(response.content)

    return get


def seq_requests(cfg):
    import requests

    return session_getter(requests.Session(), cfg["url"])


def seq_httpx(cfg):
    import httpx

    return session_getter(httpx.Client(), cfg["url"])


def seq_curl_cffi(cfg):
    from curl_cffi import requests

    return session_getter(requests.Session(**curl_cffi_options(cfg)), cfg["url"])


@case("seq")
def sequential(client, cfg):
    get = globals()[f"seq_{client}"](cfg)
    for _ in range(cfg["warmup"]):
        get()
    rates = []
    cpu_start = cpu_seconds(cfg)
    for _ in range(cfg["rounds"]):
        total = 0
        start = time.perf_counter()
        for _ in range(cfg["n"]):
            total += get()
        elapsed = time.perf_counter() - start
        if total != cfg["n"] * cfg["size"]:
            raise RuntimeError(f"read {total} bytes, expected {cfg['n'] * cfg['size']}")
        rates.append(cfg["n"] / elapsed)
    cpu = cpu_used(cpu_start, cpu_seconds(cfg), cfg["rounds"] * cfg["n"])
    return {"rate": statistics.median(rates), **cpu, **versions()}


def versions():
    """The version string of a loaded pycurl (either build): which libcurl
    the row measured."""
    pycurl = sys.modules.get("pycurl")
    return {"version": pycurl.version} if pycurl else {}


# ---- concurrent GETs on asyncio --------------------------------------------------


def head_version(head):
    """The protocol of a raw header block: "HTTP/1.1", "HTTP/2" or "HTTP/3"."""
    return bytes(head[:16]).split(b" ", 1)[0].decode()


def example_fetch():
    """The awaitable request of examples/asyncio_fetch.py: the benchmark
    measures the polling loop that users are shown. Imported here only, so
    that the peers' processes never load our module."""
    sys.path.insert(0, str(EXAMPLES))
    import asyncio_fetch

    return asyncio_fetch.fetch


async def conc_ours(cfg, run):
    fetch = example_fetch()
    ours = engine(cfg)

    async def one():
        response = await fetch(ours, cfg["url"])
        return response.status, len(response.body), response.headers

    return await run(one, head_version)


async def conc_strandel(cfg, run):
    import strandel

    async with strandel.AsyncClient(**strandel_options(cfg)) as client:

        async def one():
            response = await client.get(cfg["url"])
            return response.status_code, len(response.content), response.http_version

        return await run(one, str)


async def conc_aiohttp(cfg, run):
    import aiohttp

    connector = aiohttp.TCPConnector(limit=cfg["inflight"], ssl=ssl_context(cfg) or False)
    async with aiohttp.ClientSession(connector=connector) as session:

        async def one():
            async with session.get(cfg["url"]) as response:
                return response.status, len(await response.read()), response.version

        return await run(one, lambda v: f"HTTP/{v.major}.{v.minor}")


async def conc_httpx(cfg, run):
    import httpx

    limits = httpx.Limits(max_connections=cfg["inflight"],
                          max_keepalive_connections=cfg["inflight"])
    async with httpx.AsyncClient(http2=cfg["http2"], verify=ssl_context(cfg) or True,
                                 limits=limits) as client:

        async def one():
            response = await client.get(cfg["url"])
            return response.status_code, len(response.content), response.http_version

        return await run(one, str)


async def conc_curl_cffi(cfg, run):
    from curl_cffi.requests import AsyncSession

    async with AsyncSession(max_clients=cfg["inflight"], **curl_cffi_options(cfg)) as session:

        async def one():
            response = await session.get(cfg["url"])
            return response.status_code, len(response.content), response.http_version

        return await run(one, lambda v: CURL_VERSION_NAMES.get(v, str(v)))


async def in_flight(one, n, inflight, size):
    """n calls of one(), inflight at a time; returns the elapsed seconds."""
    todo = iter(range(n))
    total = 0

    async def worker():
        nonlocal total
        for _ in todo:
            status, length, _ = await one()
            if status != 200:
                raise RuntimeError(f"unexpected status {status}")
            total += length

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(inflight)))
    elapsed = time.perf_counter() - start
    if total != n * size:
        raise RuntimeError(f"read {total} bytes, expected {n * size}")
    return elapsed


@case("conc")
def concurrent(client, cfg):
    async def run(one, version_text):
        # One request shows the protocol; the first full round opens the
        # connections; the others are measured.
        version = version_text((await one())[2])
        await in_flight(one, cfg["inflight"], cfg["inflight"], cfg["size"])
        cpu_start = cpu_seconds(cfg)
        times = [await in_flight(one, cfg["n"], cfg["inflight"], cfg["size"])
                 for _ in range(cfg["rounds"])]
        return version, times, cpu_used(cpu_start, cpu_seconds(cfg), cfg["rounds"] * cfg["n"])

    version, times, cpu = asyncio.run(globals()[f"conc_{client}"](cfg, run))
    return {"rate": cfg["n"] / statistics.median(times), "protocol": version, **cpu}


# ---- one large body, chunk by chunk ----------------------------------------------


def stream_ours(cfg):
    ours = engine(cfg)

    def read(count):
        request = ours.request("GET", cfg["url"])
        response = request.start_stream()
        if response.status_code != 200:
            raise RuntimeError("unexpected status")
        while (chunk := request.next_body()) is not None:
            count(len(chunk))
        return head_version(response.headers)

    return read


def stream_strandel(cfg):
    import strandel

    client = strandel.Client(**strandel_options(cfg))

    def read(count):
        with client.stream("GET", cfg["url"]) as response:
            if response.status_code != 200:
                raise RuntimeError("unexpected status")
            for chunk in response.iter_bytes():
                count(len(chunk))
            return response.http_version

    return read


def stream_pycurl(cfg):
    pycurl = pycurl_module()
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, cfg["url"])
    if cfg.get("ca"):
        curl.setopt(pycurl.CAINFO, cfg["ca"])
    if cfg.get("http2"):
        curl.setopt(pycurl.HTTP_VERSION, pycurl.CURL_HTTP_VERSION_2TLS)

    def read(count):
        curl.setopt(pycurl.WRITEFUNCTION, lambda data: count(len(data)))
        curl.perform()
        if curl.getinfo(pycurl.RESPONSE_CODE) != 200:
            raise RuntimeError("unexpected status")
        versions = {pycurl.CURL_HTTP_VERSION_1_1: "HTTP/1.1",
                    pycurl.CURL_HTTP_VERSION_2_0: "HTTP/2"}
        return versions.get(curl.getinfo(pycurl.INFO_HTTP_VERSION), "?")

    return read


def stream_httpx(cfg):
    import httpx

    client = httpx.Client(verify=ssl_context(cfg) or True, http2=cfg.get("http2", False))

    def read(count):
        with client.stream("GET", cfg["url"]) as response:
            response.raise_for_status()
            for chunk in response.iter_bytes():
                count(len(chunk))
            return response.http_version

    return read


def stream_curl_cffi(cfg):
    from curl_cffi import requests

    session = requests.Session(**curl_cffi_options(cfg))

    def read(count):
        response = session.get(cfg["url"], stream=True)
        try:
            response.raise_for_status()
            for chunk in response.iter_content():
                count(len(chunk))
        finally:
            response.close()
        return CURL_VERSION_NAMES.get(response.http_version, str(response.http_version))

    return read


@case("stream")
def stream(client, cfg):
    read = globals()[f"stream_{client}"](cfg)
    seen = {"bytes": 0, "chunks": 0}

    def count(length):
        seen["bytes"] += length
        seen["chunks"] += 1

    start_kib = status_kib("VmRSS")
    reset_peak_rss()
    cpu_start = cpu_seconds(cfg)
    start = time.perf_counter()
    version = read(count)
    elapsed = time.perf_counter() - start
    cpu = cpu_used(cpu_start, cpu_seconds(cfg), 1)
    peak_kib = status_kib("VmHWM")
    if seen["bytes"] != cfg["size"]:
        raise RuntimeError(f"read {seen['bytes']} bytes, expected {cfg['size']}")
    return {"mbps": cfg["size"] / elapsed / 1e6, "peak_mib": (peak_kib - start_kib) / 1024,
            "chunk": seen["bytes"] / seen["chunks"], "protocol": version, **cpu, **versions()}


stream_pycurl_system = stream_pycurl


@case("listbound")
def list_bound(client, cfg):
    """The rate at which Python turns bytes of one chunk's size into lists of
    ints: every list-returning read pays at least this."""
    size = max(1, int(cfg["chunk"]))
    chunk = os.urandom(size)
    count = cfg["size"] // size
    start = time.perf_counter()
    for _ in range(count):
        list(chunk)
    elapsed = time.perf_counter() - start
    return {"mbps": count * size / elapsed / 1e6}


# ---- WebSocket echo --------------------------------------------------------------


def ws_ours(cfg, kind):
    socket = native().PyEngine().websocket(cfg["url"])
    socket.connect()
    event = socket.recv()
    if event is None or event[0] != "open":
        raise RuntimeError(f"WebSocket did not open: {event}")

    def expect(kind_wanted, data):
        event = socket.recv()
        if event is None or event[0] != kind_wanted or len(event[1]) != len(data):
            raise RuntimeError(f"unexpected event {str(event)[:200]}")
        return event[1]

    try:
        if kind == "rtt":
            text = cfg["text"]
            start = time.perf_counter()
            for _ in range(cfg["n"]):
                socket.send_text(text)
                expect("text", text.encode())
        else:
            payload = os.urandom(cfg["message"])
            start = time.perf_counter()
            sent = 0
            for _ in range(min(cfg["window"], cfg["n"])):
                socket.send_bytes(payload)
                sent += 1
            for i in range(cfg["n"]):
                echoed = expect("binary", payload)
                if i == 0 and bytes(echoed) != payload:
                    raise RuntimeError("the echo differs")
                if sent < cfg["n"]:
                    socket.send_bytes(payload)
                    sent += 1
        return time.perf_counter() - start
    finally:
        socket.close(1000, "")
        while (event := socket.recv()) is not None and event[0] not in ("closed", "error"):
            pass


def ws_strandel(cfg, kind):
    import strandel

    with strandel.Client() as client, client.websocket(cfg["url"]) as socket:
        return ws_sync_loop(cfg, kind, socket.send_text, socket.receive_text,
                            socket.send_bytes, socket.receive_bytes)


async def ws_strandel_async(cfg, kind):
    import strandel

    async with strandel.AsyncClient() as client:
        async with client.websocket(cfg["url"]) as socket:
            return await ws_async_loop(cfg, kind, socket.send_text, socket.receive_text,
                                       socket.send_bytes, socket.receive_bytes)


def ws_sync_loop(cfg, kind, send_text, recv, send_bytes, recv_bytes):
    """ws_async_loop for a blocking client."""
    if kind == "rtt":
        text = cfg["text"]
        start = time.perf_counter()
        for _ in range(cfg["n"]):
            send_text(text)
            if len(recv()) != len(text):
                raise RuntimeError("short echo")
        return time.perf_counter() - start
    payload = os.urandom(cfg["message"])
    start = time.perf_counter()
    sent = 0
    for _ in range(min(cfg["window"], cfg["n"])):
        send_bytes(payload)
        sent += 1
    for i in range(cfg["n"]):
        echoed = recv_bytes()
        if len(echoed) != len(payload) or (i == 0 and echoed != payload):
            raise RuntimeError("the echo differs")
        if sent < cfg["n"]:
            send_bytes(payload)
            sent += 1
    return time.perf_counter() - start


async def ws_websockets(cfg, kind):
    from websockets.asyncio.client import connect

    async with connect(cfg["url"], compression=None, max_size=None) as socket:
        return await ws_async_loop(cfg, kind, socket.send, socket.recv, socket.send)


async def ws_aiohttp(cfg, kind):
    import aiohttp

    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(cfg["url"], max_msg_size=0, compress=0) as socket:
            return await ws_async_loop(cfg, kind, socket.send_str, socket.receive_str,
                                       socket.send_bytes, socket.receive_bytes)


async def ws_async_loop(cfg, kind, send_text, recv, send_bytes, recv_bytes=None):
    recv_bytes = recv_bytes or recv
    if kind == "rtt":
        text = cfg["text"]
        start = time.perf_counter()
        for _ in range(cfg["n"]):
            await send_text(text)
            if len(await recv()) != len(text):
                raise RuntimeError("short echo")
        return time.perf_counter() - start
    payload = os.urandom(cfg["message"])
    start = time.perf_counter()
    sent = 0
    for _ in range(min(cfg["window"], cfg["n"])):
        await send_bytes(payload)
        sent += 1
    for i in range(cfg["n"]):
        echoed = await recv_bytes()
        if len(echoed) != len(payload) or (i == 0 and echoed != payload):
            raise RuntimeError("the echo differs")
        if sent < cfg["n"]:
            await send_bytes(payload)
            sent += 1
    return time.perf_counter() - start


def websocket(client, cfg, kind):
    runner = globals()[f"ws_{client}"]
    if inspect.iscoroutinefunction(runner):
        return asyncio.run(runner(cfg, kind))
    return runner(cfg, kind)


@case("ws_rtt")
def ws_round_trips(client, cfg):
    return {"rate": cfg["n"] / websocket(client, cfg, "rtt")}


@case("ws_bulk")
def ws_bulk(client, cfg):
    elapsed = websocket(client, cfg, "bulk")
    return {"mbps": cfg["n"] * cfg["message"] / elapsed / 1e6}


def main(argv):
    name, cfg = argv[1], json.loads(argv[3])
    client, _, version = argv[2].partition("@")
    global private_path
    private_path = PRIVATE_PATHS.get(client)
    if private_path is not None:
        if not private_path.is_dir():
            raise RuntimeError(f"{private_path} is missing: bench/run.sh installs it there")
        sys.path.insert(0, str(private_path))
    if version:
        cfg["http_version"] = version
    if name not in CASES:
        import measure_cache  # noqa: F401  registers the cache cases (and loads hishel)
    print(json.dumps(CASES[name](client, cfg)))


if __name__ == "__main__":
    main(sys.argv)
