"""Turns the results of run.py into docs/benchmarks.md: tables, ratios against
each peer, the targets, and why a missed target was missed."""

import datetime
import os
import platform
import re
from importlib import metadata

import goals

OURS = "ours"  # the low-level module
PKG = "strandel"  # the package on it
BASES = {OURS: "native", PKG: "strandel"}
NAMES = {OURS: "strandel_native36", PKG: "strandel", "strandel_async": "strandel (asyncio)",
         "list": "`list(chunk)` on bytes", "memory": "strandel_native36, memory cache",
         "disk": "strandel_native36, namespace on disk", "off": "strandel_native36, cache off",
         "strandel_memory": "strandel `Client`, memory cache",
         "strandel_off": "strandel `Client`, cache off",
         "hishel": "hishel (httpx, SQLite storage)",
         "pycurl": "pycurl, wheel", "pycurl_system": "pycurl, on the system's libcurl"}
# The cache rows' network path: the same client and engine kind, cache off.
NETWORK_PATH = {"memory": "off", "disk": "off", "strandel_memory": "strandel_off"}

# Why a target is missed, where the cause is known. Shown only for misses.
WHY = {
    "seq": (
        "Every request crosses threads three times: the caller hands it to the Core's "
        "network thread, nginx's answer wakes that thread, and it wakes the caller. pycurl "
        "runs the whole transfer on the calling thread and sleeps once, in `poll`. On this "
        "machine's virtual CPUs a wake-up costs about 50 µs; see the per-request findings "
        "under Goals."),
    "conc": (
        "The Core's network thread runs each request's notifier, which takes the interpreter "
        "lock to call the loop's `call_soon_threadsafe`. A scheduler trace of 15,000 requests "
        "showed the network thread waiting for the interpreter lock about 11,000 times: a "
        "pair of thread switches each time, during which no other transfer moves. A shorter "
        "interpreter switch interval makes it slower, not faster, so the cost is the "
        "switching itself on two cores shared with nginx and the loop. aiohttp does all its "
        "work on the loop's thread. Announcing the news of many requests with one "
        "`call_soon_threadsafe`, or from a thread other than the network thread, could "
        "remove most of the switches. (Over HTTP/2, aiohttp uses HTTP/1.1 over TLS on 100 "
        "connections, while we multiplex on one.)"),
    "stream_rate": (
        "Three costs come on top of the `list(chunk)` bound. (1) Making the list: the module "
        "fills it item by item with `PyLong_FromLong` and `PyList_SetItem`, the element-wise "
        "way the limited API offers; `next_body` then takes about 48 µs for a 16 KiB chunk "
        "that is ready. Made instead as a `bytes` object of the chunk and `PySequence_List` "
        "on it (both in the limited API, and as fast as `list(bytes)`), it takes about "
        "34 µs. (2) Over HTTP/1.1, pausing: the Core is paused at 1 MiB of unread body and "
        "resumed as soon as one chunk is taken, so once the reader is the slower side every "
        "chunk costs a pause and a resume on the network thread (about 4,000 of each per "
        "256 MiB; libcurl 7.88 copies the data it holds back on every resume), and the "
        "reader then often waits for the next data (about 3,000 waits of over 100 µs, close "
        "to a second in all, in profiled runs). (3) Over HTTP/2 the buffer seldom fills (see "
        "the peak memory): the network thread, which also decrypts and runs HTTP/2, hands "
        "over chunks of about 13 KiB more slowly than the reader takes them, and each chunk "
        "wakes the reader on its own. pycurl, on one thread with the same libcurl version, reads "
        "several times faster, so the hand-over between threads on two cores shared with nginx "
        "is the likely cost. In a trial build with the list made through `PySequence_List` "
        "and reading resumed only once half of the 1 MiB was drained, the pauses fell to "
        "about 400 and the rate rose from about 190 to 310 MB/s over HTTP/1.1 (about 70% of "
        "the bound) and from about 158 to 230 MB/s over HTTP/2."),
    "stream_rss": (
        "The body buffer of the Core layer holds up to 1 MiB plus one chunk; more than that "
        "means that something keeps chunks alive."),
    "ws_rtt": (
        "Each message crosses from the Python thread to the Core's network thread and back, "
        "two thread switches per round trip; the peers run on the loop's own thread."),
    "ws_bulk": (
        "A received message reaches Python as a list of ints, one Python int per byte: a "
        "1 MiB message becomes a list of a million items. Making such lists alone "
        "(`list(bytes)`) runs at about 420 MB/s here, no faster than the peers move messages "
        "as `bytes`, so while messages arrive as lists of ints this target cannot be met. The "
        "module fills the list item by item (`PyLong_FromLong`, `PyList_SetItem`); in a "
        "trial build that makes it through `PySequence_List` of a `bytes` object, our rate "
        "rose from about 250 to 310 MB/s."),
    "pkg_seq": (
        "The package rides on the native path, which is itself behind pycurl for the reason "
        "above; see the goals' explanation below and the per-request findings under Goals."),
    "pkg_conc": (
        "Over HTTPS, where we multiplex on HTTP/2, the target is met; over HTTP/1.1 it is "
        "missed by a hair in this run (1.27 to 1.52× in interleaved runs of the same build). "
        "The waker takes the interpreter lock off the network thread entirely; what is left "
        "on the loop's thread is 0.3 to 0.5 of a core: polling each request once per wake-up "
        "and `engine.request`, which parses the URL with libcurl on the caller's thread. The "
        "network thread, nginx and the loop share the two cores."),
    "pkg_stream_rate": (
        "Missed over clear-text HTTP/1.1 only, where pycurl is fastest: 1.7 to 2.7 GB/s in "
        "repeated runs of this host, against 0.9 to 1.3 GB/s for `iter_bytes`. Every chunk "
        "crosses from the Core's network thread to the reader, and once the reader is the "
        "slower side each chunk costs a pause and a resume of the transfer (see (c), native); "
        "pycurl reads on one thread with no hand-over. Over HTTP/2, where decryption costs "
        "both the same, the target is met. The Core's move to its own libcurl and BoringSSL "
        "left this path's rate as it was (A/B of the two builds, alternating runs)."),
    "goal_seq_rate": (
        "Each request of ours costs three wake-ups of a sleeping thread on the other CPU "
        "(caller to network thread, nginx to network thread, network thread to caller) "
        "against pycurl's one, and a wake-up costs about 50 µs of latency on this machine's "
        "virtual CPUs (see the profile's findings above). Removing two of them means running "
        "the transfer on the caller's thread, as pycurl does, which the module's design "
        "excludes: the Core's callbacks come on its own threads, and the interpreter lock is "
        "released while a request waits. Spinning instead of sleeping was measured and "
        "dropped: it cost more CPU than it saved time."),
    "goal_seq_cpu": (
        "The same wake-ups in CPU: about 20 µs each on this machine, three a request against "
        "pycurl's one, plus the network thread's own turn per request (libcurl's checks of "
        "the connection and the socket: about five `poll` calls, the send and the receive), "
        "and the package's Python (about 8 µs alone, two to three times that in the loop)."),
    "goal_conc": (
        "Missed by a hair over HTTP/1.1 in this run; over HTTPS it is met. In alternating "
        "runs on one nginx, this build against the one before the per-request changes: "
        "1.40, 1.53 and 1.21× aiohttp, against 1.16, 1.17 and 1.38× before, so no "
        "regression: the spread of two cores shared by nginx, the network thread and the "
        "loop (see (b), strandel)."),
    "goal_stream_rate": (
        "pycurl here is the wheel, on libcurl 8.23; the earlier runs measured pycurl on the "
        "system's libcurl 7.88, against which `iter_bytes` was 0.46× over HTTP/1.1. Against "
        "the wheel it is 0.68×. The cause is the one under (c): every chunk crosses from the "
        "Core's network thread to the reader, and pycurl reads on one thread. The "
        "per-request changes do not touch this path beyond the state mutex, which the "
        "reader now takes with a short spin."),
    "goal_ws_bulk": (
        "1.13× (blocking) and 1.18× (asyncio), short of 1.2× (0.9× when the goal was set, "
        "1.01× in the previous full run). What is left is the copies described under (d), "
        "strandel: each 1 MiB message is copied from Beast's buffer into the Core layer's "
        "queue and again into a `bytes` object."),
    "pkg_ws_bulk": (
        "In profiles of the package's bulk run, waiting is about three quarters of the time, "
        "the native `send_bytes` and the message copies most of the rest, and Python under "
        "10%: every 1 MiB message is copied from Beast's buffer into the Core layer's queue "
        "and again into a `bytes` object, and each send is copied into the Core's queue. "
        "The peers hand `bytes` through on one thread. Cutting a copy on each side would "
        "need the Core's message buffer to become the Python object's."),
}


def machine(results):
    info = {}
    try:
        with open("/proc/cpuinfo") as f:
            models = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
        info["CPU"] = f"{models[0] if models else platform.processor()}, {os.cpu_count()} cores"
    except OSError:
        info["CPU"] = f"{os.cpu_count()} cores"
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
        info["Memory"] = f"{kib / 1024 / 1024:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        name = fields.get("PRETTY_NAME", "?").strip('"')
        info["System"] = f"{name}, Linux {platform.release()}"
    except OSError:
        info["System"] = f"Linux {platform.release()}"
    info["Python"] = platform.python_version()
    try:
        import strandel_native36

        info["strandel_native36"] = strandel_native36.PyEngine.core_version()
    except Exception as error:  # noqa: BLE001 - shown as it is
        info["strandel_native36"] = f"not importable: {error}"
    try:
        import strandel

        info["strandel"] = strandel.__version__
    except Exception as error:  # noqa: BLE001 - shown as it is
        info["strandel"] = f"not importable: {error}"
    peers = []
    for name in ("pycurl", "requests", "httpx", "h2", "aiohttp", "websockets", "hishel",
                 "curl_cffi"):
        try:
            peers.append(f"{name} {metadata.version(name)}")
        except metadata.PackageNotFoundError:
            peers.append(f"{name} missing")
    try:
        import pycurl  # the wheel: this process runs in the venv

        peers[0] += f" (wheel, with {pycurl.version.split()[1]}"
        system = results.get("seq", {}).get("pycurl_system", {}).get("version")
        peers[0] += f"; and built on the system's {system.split()[1]})" if system else ")"
    except Exception:  # noqa: BLE001
        pass
    info["Peers"] = ", ".join(peers)
    info["Servers"] = f"nginx {results.get('nginx', '?')}, 1 worker; websockets (echo)"
    if "server" in results.get("h3", {}):
        info["Servers"] += f"; {results['h3']['server']}, 1 worker (HTTP/3, section (f))"
    if "swr" in results:
        info["Servers"] += "; a slow Python origin (section (g))"
    if "load" in results:
        before, after = results["load"]
        info["Load average"] = (f"{before[0]:.1f} at the start, {after[0]:.1f} at the end "
                                "(other work on the machine shows here)")
    return info


def display_name(client, result):
    """The row's name; a pycurl row adds its build's pycurl and libcurl
    (the first two words of `pycurl.version`)."""
    name = NAMES.get(client, client)
    if "version" in result and "error" not in result:
        name += f" ({' '.join(result['version'].split()[:2])})"
    return name


def versions_note(lines, rows):
    """The full `pycurl.version` of each pycurl row, under its table."""
    seen = [(client, result["version"]) for client, result in rows.items()
            if "version" in result and "error" not in result]
    if seen:
        lines += [f"- {NAMES.get(client, client)}: `{version}`" for client, version in seen]
        lines.append("")


def fmt(value, digits=0):
    return f"{value:,.{digits}f}"


class Targets:
    def __init__(self):
        self.rows = []  # (key, description, measured, met or None when pending)

    def add(self, key, description, measured, met):
        self.rows.append((key, description, measured, met))

    def missed(self):
        seen = []
        for key, *_rest, met in self.rows:
            if met is False and key not in seen:
                seen.append(key)
        return seen


def ratio(results, a, b, key):
    if "error" in results.get(a, {"error": 1}) or "error" in results.get(b, {"error": 1}):
        return None
    return results[a][key] / results[b][key]


def value_cell(result, key, digits=0):
    return fmt(result[key], digits) if "error" not in result else "—"


def met_cell(met):
    return {True: "yes", False: "**no**", None: "pending"}[met]


def ratio_heads(rows):
    return [f"{BASES[b]} ÷ client" for b in BASES if b in rows]


def ratio_cells(rows, client, key):
    """Per base (native, strandel) present: base ÷ client; blank on the base's
    own row, a dash when either side has no number."""
    cells = []
    for base in BASES:
        if base not in rows:
            continue
        if client == base or (client == "list" and base == PKG):  # strandel reads bytes
            cells.append("")
            continue
        r = ratio(rows, base, client, key)
        cells.append(f"{r:.2f}" if r is not None else "—")
    return cells


def rate_table(lines, rows, key, unit, digits=0, extra=None):
    """rows: {client: result}; a table of the value and of ours ÷ client, for
    the module and for the package. `extra`: (heading, cell of a result)."""
    heads = ["client", unit] + ([extra[0]] if extra else []) + ratio_heads(rows)
    lines += ["| " + " | ".join(heads) + " |", "|" + "---|" * len(heads)]
    for client, result in rows.items():
        cells = [display_name(client, result), value_cell(result, key, digits)]
        if extra:
            cells.append(extra[1](result))
        cells += ratio_cells(rows, client, key)
        lines.append("| " + " | ".join(cells) + " |")


def add_target(t, key, rows, peer, floor, text, metric="rate", base=PKG):
    """A target: base ÷ peer at least `floor`."""
    r = ratio(rows, base, peer, metric)
    t.add(key, text, "—" if r is None else f"{r:.2f}×", None if r is None else r >= floor)


def cpu_cell(result):
    """CPU per request in µs, all the client's threads; blank without one."""
    return fmt(result["cpu_us"]) if "error" not in result and "cpu_us" in result else ""


def errors_of(lines, *tables):
    for rows in tables:
        for client, result in rows.items():
            if "error" in result:
                lines.append(f"- {NAMES.get(client, client)}: {result['error']}")


def cache_section(lines, cache, sizes):
    lines += [
        "",
        "## (e) HTTP cache",
        "",
        "The same URL fetched again and again, its response fresh for an hour "
        "(`Cache-Control: max-age=3600`), over HTTP/1.1 in clear text. Ours: the low-level "
        "API as in (a) (`read_body_bytes`) on an engine with its private memory cache "
        "(`PyEngine()`), with a profile namespace on disk (`PyEngine(profile_namespace=...)`, "
        "SQLite), and without a cache (`PyEngine(cache=False)`: every request goes to nginx). "
        "hishel: its `CacheClient` on httpx with its `SqliteStorage`, following the caching "
        "headers (`rfc=True`). Each process fetches the URL first (storing it), then measures "
        f"{sizes['rounds']} rounds (the median counts). \"Served from\" tells where the "
        "measured responses came from (ours: a response from the cache carries the `Age` "
        "field the cache adds, nginx sends none; hishel: the response's `from_cache`); a "
        "row served from the network measures no cache. An entry may take at most an eighth "
        "of its store's bound (64 MiB in memory, 256 MiB on disk), so the memory cache does "
        "not keep the 10 MiB response while a namespace does.",
        "",
        "The package's rows are `strandel.Client().get(url).content` with the engine's memory "
        "cache (`Client()`) and without it (`Client(cache=False)`); a response from the cache "
        "is told by its `Age` field there too. \"CPU per request\" is the process's CPU time "
        "(all its threads) over the measured rounds, per request. \"÷ network\" is a cached "
        "row's rate divided by its network path's: the same client on the same kind of "
        "engine, the same URL, cache off (native rows: `PyEngine(cache=False)`; strandel "
        "rows: `Client(cache=False)`).",
        "",
    ]
    for label, title, key, unit, digits in (
            ("small", f"{sizes['cache_n']:,} GETs of 1 KiB", "rate", "requests/s", 0),
            ("big", f"{sizes['cache_big_n']:,} GETs of 10 MiB", "mbps", "MB/s", 0)):
        rows = cache.get(label)
        if not rows:
            continue
        lines += [f"### {title}", "",
                  f"| client | {unit} | CPU per request (µs) | served from | ÷ network | "
                  "÷ hishel |", "|---|---|---|---|---|---|"]
        for client, result in rows.items():
            r = ratio(rows, client, "hishel", key) if client != "hishel" else None
            network = NETWORK_PATH.get(client)
            n = ratio(rows, client, network, key) if network in rows else None
            cells = [NAMES.get(client, client), value_cell(result, key, digits), cpu_cell(result),
                     result.get("source", "") if "error" not in result else "",
                     "" if network not in rows else (f"{n:.2f}" if n is not None else "—"),
                     f"{r:.2f}" if r is not None else ("" if client == "hishel" else "—")]
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
        errors_of(lines, rows)
    rows = cache.get("open")
    if rows:
        lines += [
            f"### A namespace with {sizes['entries']:,} entries, opened by a new engine",
            "",
            f"One process stores {sizes['entries']:,} responses of 1 KiB (one URL each) in a "
            "namespace (for hishel: in its database); each measuring process then creates a "
            "new engine on it (`PyEngine(profile_namespace=...)`; hishel: a `SqliteStorage` "
            "of that file and a `CacheClient` with its httpx client) and fetches one of the "
            "stored URLs. Module imports are done before the clock starts.",
            "",
            "| client | create (ms) | first cached GET (ms) | served from |",
            "|---|---|---|---|",
        ]
        for client, result in rows.items():
            ok = "error" not in result
            cells = [NAMES.get(client, client),
                     value_cell(result, "open_ms", 1), value_cell(result, "first_ms", 1),
                     result.get("source", "") if ok else ""]
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
        errors_of(lines, rows)


def seq_section(lines, t, seq, sizes):
    lines += [
        f"## (a) {sizes['seq_n']:,} sequential GETs of 1 KiB on one kept-alive connection",
        "",
        "HTTP/1.1 in clear text. Native: `request` + `start_stream` + `read_body`; strandel: "
        "`Client.get` and `.content`; pycurl: one reused handle; requests: a `Session`; httpx: "
        "a `Client`. Each process makes 100 "
        f"requests first, then {sizes['rounds']} rounds (the median round counts).",
        "",
        "pycurl twice: as pip installs it (\"wheel\", with a libcurl of its own; the targets' "
        "and goals' \"pycurl\") and built from source on the system's libcurl (`pip install "
        "--no-binary pycurl`, in a folder of its own), each named with its `pycurl.version`. "
        "\"CPU per request\" is the client process's CPU time (all its threads: our Core's "
        "network thread too) over the measured rounds, per request.",
        "",
    ]
    rate_table(lines, seq, "rate", "requests/s", extra=("CPU per request (µs)", cpu_cell))
    lines.append("")
    versions_note(lines, seq)
    errors_of(lines, seq)
    for peer, floor in (("pycurl", 0.7), ("requests", 3.0), ("httpx", 3.0)):
        r = ratio(seq, OURS, peer, "rate")
        t.add("seq", f"(a) sequential, native: at least {floor:g}× {peer}",
              "—" if r is None else f"{r:.2f}×", None if r is None else r >= floor)
    for peer, floor in (("pycurl", 0.8), ("requests", 4.0), ("httpx", 4.0)):
        add_target(t, "pkg_seq", seq, peer, floor,
                   f"(a) sequential, strandel `Client`: at least {floor:g}× {peer}")


def conc_section(lines, t, conc, sizes):
    lines += [
        "",
        f"## (b) {sizes['conc_n']:,} GETs of 1 KiB, 100 in flight, on asyncio",
        "",
        "Native: the event-loop API (`start_async`, `poll_events` from the notification), one "
        "engine. strandel: one `AsyncClient`, `await client.get(url)`. aiohttp: a "
        "`ClientSession` with 100 connections; httpx: an `AsyncClient` with 100 connections "
        "(`http2=True` for HTTP/2). The HTTP/2 rows use HTTPS with ALPN (ours negotiates "
        "HTTP/2 by itself); aiohttp has no HTTP/2 and uses HTTP/1.1 over TLS there. Each "
        "process opens its connections with a first round of 100, then measures "
        f"{sizes['rounds']} rounds.",
        "",
    ]
    for proto, rows in conc.items():
        lines += [f"### {proto}", ""]
        rate_table(lines, rows, "rate", "requests/s",
                   extra=("protocol", lambda r: r.get("protocol", "—")))
        lines.append("")
        errors_of(lines, rows)
        for peer in ("aiohttp", "httpx"):
            r = ratio(rows, OURS, peer, "rate")
            t.add("conc", f"(b) {proto}, native: ahead of {peer}",
                  "—" if r is None else f"{r:.2f}×", None if r is None else r > 1.0)
        add_target(t, "pkg_conc", rows, "aiohttp", 1.5,
                   f"(b) {'HTTPS' if proto == 'HTTP/2' else proto}, strandel `AsyncClient`: "
                   "at least 1.5× aiohttp")


def stream_section(lines, t, stream, sizes):
    mib = sizes["big"] // (1024 * 1024)
    lines += [
        "",
        f"## (c) Reading {mib} MiB chunk by chunk",
        "",
        "Native: `start_stream` then `next_body` until None (each chunk a list of ints); "
        "strandel: `Client.stream` + `iter_bytes` (`bytes` chunks); pycurl: a write callback "
        "(the wheel, as in (a)); "
        "httpx: `stream` + `iter_bytes`. The body comes from a sparse file, "
        "so disk plays no part. \"Peak RSS\" is the highest resident memory during the read "
        "above the resident memory just before it. The `list(chunk)` row is the rate at which "
        "Python turns `bytes` of our mean chunk size into lists of ints: a bound for any read "
        "that returns lists.",
        "",
    ]
    for proto, rows in stream.items():
        lines += [f"### {proto}", ""]
        heads = ["client", "MB/s", "peak RSS above start", "mean chunk", "protocol"]
        heads += ratio_heads(rows)
        lines += ["| " + " | ".join(heads) + " |", "|" + "---|" * len(heads)]
        for client, result in rows.items():
            ok = "error" not in result
            cells = [
                display_name(client, result),
                value_cell(result, "mbps"),
                f"{result['peak_mib']:.1f} MiB" if ok and "peak_mib" in result else "",
                f"{result['chunk']:,.0f} B" if ok and "chunk" in result else "",
                result.get("protocol", "") if ok else "",
            ] + ratio_cells(rows, client, "mbps")
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
        errors_of(lines, rows)
        r = ratio(rows, OURS, "list", "mbps")
        t.add("stream_rate", f"(c) {proto}, native: at least 80% of the `list(chunk)` bound",
              "—" if r is None else f"{r:.0%}", None if r is None else r >= 0.8)
        ours = rows[OURS]
        t.add("stream_rss", f"(c) {proto}, native: peak RSS under 32 MiB above the start",
              "—" if "error" in ours else f"{ours['peak_mib']:.1f} MiB",
              None if "error" in ours else ours["peak_mib"] < 32)
        add_target(t, "pkg_stream_rate", rows, "pycurl", 0.7,
                   f"(c) {proto}, strandel `iter_bytes`: at least 0.7× pycurl", metric="mbps")
        pkg = rows.get(PKG, {"error": "not measured"})
        t.add("pkg_stream_rss", f"(c) {proto}, strandel `iter_bytes`: peak RSS under 16 MiB "
              "above the start", "—" if "error" in pkg else f"{pkg['peak_mib']:.1f} MiB",
              None if "error" in pkg else pkg["peak_mib"] < 16)


def ws_section(lines, t, results, sizes):
    lines += [
        "",
        "## (d) WebSocket echo",
        "",
        "Against one local `websockets` echo server (compression off, so every client moves "
        "the same bytes). Round trips: a 32-byte text message sent and its echo received, "
        f"one at a time, {sizes['ws_n']:,} times. Bulk: {sizes['bulk_n']} binary messages of "
        "1 MiB echoed, 4 in flight; MB/s of echoed payload. Native uses the blocking API "
        "(`send_text` / `send_bytes`, `recv`); strandel its blocking `Client.websocket` "
        "(`send_text` / `send_bytes`, `receive_text` / `receive_bytes`), and, for comparison, "
        "the same on `AsyncClient`; the peers their asyncio clients. The strandel targets "
        "are those of the blocking one.",
        "",
    ]
    for key, label, short_label, unit in (
            ("ws_rtt", "Round trips", "round trips", "round trips/s"),
            ("ws_bulk", "Bulk, 1 MiB messages", "bulk", "MB/s")):
        rows = results[key]
        lines += [f"### {label}", ""]
        rate_table(lines, rows, "rate" if key == "ws_rtt" else "mbps", unit)
        lines.append("")
        errors_of(lines, rows)
        for peer in ("websockets", "aiohttp"):
            r = ratio(rows, OURS, peer, "rate" if key == "ws_rtt" else "mbps")
            t.add(key, f"(d) WebSocket {short_label}, native: ahead of {peer}",
                  "—" if r is None else f"{r:.2f}×", None if r is None else r > 1.0)
        floors = {"websockets": 1.2} if key == "ws_rtt" else {"websockets": 1.5, "aiohttp": 1.5}
        for peer, floor in floors.items():
            add_target(t, "pkg_" + key, rows, peer, floor,
                       f"(d) WebSocket {short_label}, strandel: at least {floor:g}× {peer}",
                       metric="rate" if key == "ws_rtt" else "mbps")


# What the HTTP/3 rows showed in the run that wrote them (load average 2.5 to
# 3.8) and in trial runs beside it. Shown under the tables.
H3_FINDINGS = (
    "In this run HTTP/3 gave the native module 0.86× its HTTP/2 rate on the same server, "
    "sequentially (3,175 against 3,702 requests/s) and with 100 in flight (3,672 against "
    "4,281), at about the same CPU per request (195 against 177 µs; 198 against 194 µs). In "
    "four more alternating runs of the 100-in-flight case the two overlapped (HTTP/3 4,900 to "
    "6,600, HTTP/2 5,500 to 7,100 requests/s): on this loaded machine HTTP/3 costs the module "
    "between nothing and about a seventh of its rate. nginx spends more per request on QUIC "
    "than on TLS over TCP (82 against 72 µs sequentially; 356 against 176 ms for the "
    "download), as QUIC's acknowledgements, pacing and packet protection run in the process "
    "rather than in the kernel's TCP, and the client's network thread does that work too. "
    "Against curl_cffi, whose libcurl speaks HTTP/3 with ngtcp2 as the Core's does, the "
    "native module is 2.03× ahead sequentially and 1.45× with 100 in flight, at about a third "
    "and a half of its CPU per request (195 against 540 µs; 198 against 351 µs); strandel's "
    "`AsyncClient` is 2.85× ahead. The native download hands out lists of ints, as in (c), "
    "for 1.5 s of CPU per 256 MiB: 118 MB/s over HTTP/3, 0.43× curl_cffi; strandel's "
    "`iter_bytes` on the same engine reads `bytes` at 318 MB/s for 0.4 s of CPU, 1.17× "
    "curl_cffi and on a par with its HTTP/2 (306). nginx was busy 6 to 42% of one core in "
    "every row, so the clients, not the server, set the pace. The machine's load average rose "
    "from 2.5 to 3.8 during the run (other work on its two cores): differences of about 10% "
    "are within the spread here.")

PROTOCOLS = {"h3": "HTTP/3", "h2": "HTTP/2"}
H3_BASES = {f"{OURS}@h3": "native HTTP/3", f"{PKG}@h3": "strandel HTTP/3"}


def curl_cffi_libcurl():
    """The libcurl inside curl_cffi's wheel, as it names itself."""
    try:
        from curl_cffi._wrapper import ffi, lib

        return ffi.string(lib.curl_version()).decode().split()[0]
    except Exception:  # noqa: BLE001 - not installed: the rows say so
        return "?"


def server_busy(result, key, size):
    """The share of one core the server used while the client measured."""
    if "server_cpu_us" not in result:
        return ""
    per_second = result[key] if key == "rate" else result[key] * 1e6 / size  # requests/s
    return f"{result['server_cpu_us'] * per_second / 1e6:.0%}"


def h3_table(lines, rows, key, unit, size):
    """rows: {"client@version": result}; the value, both CPU times, and HTTP/3
    ours ÷ client for the module and for the package."""
    per = "request" if key == "rate" else "download"
    scale, cpu_unit = (1, "µs") if key == "rate" else (1e-3, "ms")
    heads = ["client", "protocol", unit, f"CPU per {per} ({cpu_unit})",
             f"server CPU per {per} ({cpu_unit})", "server busy"]
    heads += [f"{name} ÷ client" for name in H3_BASES.values()]
    lines += ["| " + " | ".join(heads) + " |", "|" + "---|" * len(heads)]
    for client, result in rows.items():
        name, _, version = client.partition("@")
        ok = "error" not in result
        cells = [NAMES.get(name, name), result.get("protocol", PROTOCOLS[version]) if ok else "",
                 value_cell(result, key),
                 fmt(result["cpu_us"] * scale) if ok else "",
                 fmt(result["server_cpu_us"] * scale) if ok and "server_cpu_us" in result else "",
                 server_busy(result, key, size) if ok else ""]
        for base in H3_BASES:
            r = ratio(rows, base, client, key) if client != base else None
            cells.append("" if client == base else (f"{r:.2f}" if r is not None else "—"))
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    errors_of(lines, rows)


def h3_section(lines, results, command):
    h3, sizes = results["h3"], results["sizes"]
    mib = sizes["big"] // (1024 * 1024)
    lines += [
        "",
        "## (f) HTTP/3",
        "",
        "The GETs of (a) and (b) and the download of (c), each over HTTP/3 and over HTTP/2 "
        "(TLS), against one server that speaks both on one port number (QUIC on UDP beside "
        f"TLS on TCP): {h3.get('server', 'nginx')}, Debian trixie's package, with one "
        "worker, every response `no-store`, and the run's test CA. bookworm's nginx (1.22) "
        "has no HTTP/3; `bench/nginx_h3.sh` fetches trixie's binary package and unpacks it "
        "under `build/` (nothing is installed); its QUIC runs on bookworm's OpenSSL 3.0. The "
        "server sends no `Alt-Svc`: each client is told its protocol. Native: "
        "`PyEngine(http_version=\"h3\")` or `\"h2\"` with the CA as `ca_pem`, the API of "
        "(a), (b) and (c) (lists of ints in the download); strandel: `Client` / "
        "`AsyncClient(http_version=...)` as in (a), (b), (c); "
        f"curl_cffi {version_of('curl_cffi')} (its wheel's {curl_cffi_libcurl()}, with "
        "ngtcp2 and nghttp3): a `Session`, an `AsyncSession` with `max_clients=100` and a "
        "streamed `Session.get` (`iter_content`), with `http_version=CurlHttpVersion.V3ONLY` "
        "or `V2TLS`.",
        "",
        "CPU is the client process's CPU time (all its threads: the Core's network thread "
        "too) over the measured rounds, per request (per download in the last table); server "
        "CPU is nginx's over the same time. \"Server busy\" is the share of one core nginx "
        "used while the client measured: near 100% would mean that the server, not the "
        "client, sets the pace.",
        "",
    ]
    if results.get("partial"):
        lines += [
            f"Measured on {results.get('date', '?')} in a run of its own "
            f"(`{command}`, {results['seconds'] / 60:.0f} minutes; each client measured "
            f"{results['repeat']} times, the median run shown), with "
            f"{results.get('machine', {}).get('strandel_native36', '?')}; the table at the top "
            "is of the last full run."
            + (f" Load average {results['load'][0][0]:.1f} at the start, "
               f"{results['load'][1][0]:.1f} at the end." if "load" in results else ""),
            "",
        ]
    if "error" in h3:
        lines += [f"Not measured: {h3['error']}.", ""]
        return
    for key, title, metric, unit, size in (
            ("seq", f"{sizes['seq_n']:,} sequential GETs of 1 KiB on one connection", "rate",
             "requests/s", 0),
            ("conc", f"{sizes['conc_n']:,} GETs of 1 KiB, 100 in flight, on asyncio", "rate",
             "requests/s", 0),
            ("stream", f"Reading {mib} MiB chunk by chunk", "mbps", "MB/s", sizes["big"])):
        lines += [f"### {title}", ""]
        h3_table(lines, h3[key], metric, unit, size)
    lines += [H3_FINDINGS, ""]


def ms(value):
    """Milliseconds: two decimals below 10 ms, one above."""
    return f"{value:,.2f}" if value < 10 else f"{value:,.1f}"


def times(r):
    """A ratio as a factor: two decimals near 1, whole numbers far above."""
    return f"{r:,.2f}" if r < 10 else f"{r:,.0f}"


def served_as(states):
    """The client's own word on each measured answer, most frequent first:
    "cache 49, revalidated 1"."""
    return ", ".join(f"{state} {count}" for state, count in
                     sorted(states.items(), key=lambda item: (-item[1], item[0])))


def swr_findings(rows, delay):
    """What the two rows show, in words; empty when either failed."""
    on, off = rows.get("strandel_memory", {"error": 1}), rows.get("strandel_off", {"error": 1})
    if "error" in on or "error" in off:
        return []
    n = on["n"]
    stale = on["states"].get("cache", 0)
    r = off["median_ms"] / on["median_ms"]
    text = (f"With the cache, the median GET took {ms(on['median_ms'])} ms against "
            f"{ms(off['median_ms'])} ms without ({times(r)}×), the p90 "
            f"{ms(on['p90_ms'])} against {ms(off['p90_ms'])} ms. ")
    if stale == n:
        text += (f"Every one of the {n} answers came from the stale entry at once, while the "
                 f"origin received {on['origin']} requests ({on['conditional']} conditional, "
                 f"answered 304) over the {on['span_s']:.1f} s of the GETs: one revalidation "
                 "in flight at a time, the next started by the first GET after it ended, so "
                 f"at most about one per {delay} ms however many GETs come meanwhile.")
    else:
        others = served_as({k: v for k, v in on["states"].items() if k != "cache"})
        text += (f"{stale} of the {n} answers came from the stale entry; the others "
                 f"({others}) waited for the origin, which received {on['origin']} requests "
                 f"({on['conditional']} conditional) over the {on['span_s']:.1f} s of the "
                 "GETs: the stale entry was not served while it was revalidated.")
    text += f" Without the cache the origin received {off['origin']} for {off['n']} GETs."
    return [text, ""]


def swr_runs(runs):
    """How often each row was measured, in words: "3 runs with the cache (the
    one with the median latency shown) and 1 run without it." """
    said = []
    for client, n in runs.items():
        text = f"{n} run{'s' if n > 1 else ''} "
        text += "with the cache" if client == "strandel_memory" else "without it"
        if n > 1:
            text += " (the one with the median latency shown)"
        said.append(text)
    return " and ".join(said) + "."


# Trial runs beside the one that wrote the section, shown under its table.
SWR_TRIALS = (
    "In trial runs on this machine, 200 GETs back to back (no pause, all within one "
    "revalidation) took a median of 0.05 ms each from the stale entry; with the 20 ms pause "
    "they take 0.3 to 0.4 ms, also when the caller busy-waits through the pause instead of "
    "sleeping, so the difference is not the caller's own wake-up.")


def swr_section(lines, results, command):
    swr, sizes = results["swr"], results["sizes"]
    rows, delay = swr["rows"], swr["delay_ms"]
    lines += [
        "",
        "## (g) Stale-while-revalidate",
        "",
        f"One URL of a slow origin (`bench/swr_server.py`, a Python HTTP/1.1 server on "
        f"127.0.0.1) that answers every request after {delay} ms, a revalidation included, "
        "with 1 KiB, `Cache-Control: max-age=1, stale-while-revalidate=3600`, an `ETag`, and a "
        "`Date` 100 s in the past: each stored copy is stale at once, but may be served "
        "stale for an hour while one conditional request refreshes it in the background; "
        "the origin answers a matching `If-None-Match` with 304, whose `Date` leaves the "
        "entry just as stale. Each process fetches the URL once (the first GET, which "
        f"stores it), then makes {sizes['swr_n']} sequential GETs of it, "
        "`strandel.Client().get(url).content` with the engine's memory cache and "
        f"`Client(cache=False)` without, a GET starting at most every {swr['interval_ms']} "
        "ms so that the GETs span several revalidations. Latency is each GET's, from the "
        "call to the whole body. \"Served as\" is what the response says of itself "
        "(`response.extensions[\"cache_state\"]`: `cache` from the stored entry, "
        "`revalidated` after waiting for a 304, `network`). \"Origin requests\" are those "
        "the origin received for the URL during the measured GETs (counted as they arrive, "
        "the revalidation the last GETs started included), the conditional ones in "
        "brackets. " + swr_runs(swr["runs"]),
        "",
    ]
    if results.get("partial"):
        lines += [
            f"Measured on {results.get('date', '?')} in a run of its own (`{command}`, "
            f"{results['seconds']:.0f} s), with "
            f"{results.get('machine', {}).get('strandel_native36', '?')}."
            + (f" Load average {results['load'][0][0]:.1f} at the start, "
               f"{results['load'][1][0]:.1f} at the end." if "load" in results else ""),
            "",
        ]
    lines += ["| client | first GET (ms) | median (ms) | p90 (ms) | max (ms) | served as | "
              "origin requests | cache off ÷ client (median) |",
              "|---|---|---|---|---|---|---|---|"]
    for client, result in rows.items():
        ok = "error" not in result
        r = ratio(rows, "strandel_off", client, "median_ms") if client != "strandel_off" else None
        cells = [NAMES.get(client, client), value_cell(result, "first_ms", 1),
                 value_cell(result, "median_ms", 2), value_cell(result, "p90_ms", 2),
                 value_cell(result, "max_ms", 1), served_as(result["states"]) if ok else "",
                 f"{result['origin']} ({result['conditional']})" if ok else "",
                 "" if client == "strandel_off" else (times(r) if r is not None else "—")]
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    errors_of(lines, rows)
    lines += swr_findings(rows, delay) + [SWR_TRIALS, ""]


def version_of(package):
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "(missing)"


def splice(old, new):
    """The report `old` with each lettered section ("## (f) ...") of `new` in
    place of its own, or before the targets when `old` has none: what a run of
    some sections writes."""
    def key(block):
        found = re.match(r"## (\(\w\))", block)
        return found.group(1) if found else None

    split = re.compile(r"(?m)^(?=## )")
    fresh = {key(block): block.rstrip("\n") + "\n\n\n" for block in split.split(new)
             if key(block)}
    # The goals this run measured: merged into the old table, or, when the
    # old report has none, a table of their own before the first section.
    fresh_goals = next((block.rstrip("\n") + "\n\n\n" for block in split.split(new)
                        if block.startswith("## Goals")), None)
    out = []
    for block in split.split(old):
        if fresh_goals and block.startswith("## Goals"):
            out.append(goals.merge(block, fresh_goals))
            fresh_goals = None
            continue
        if fresh_goals and (key(block) or block.startswith("## Targets")):
            out.append(fresh_goals)
            fresh_goals = None
        if block.startswith("## Targets"):
            out += [fresh.pop(k) for k in list(fresh)]
        out.append(fresh.pop(key(block), block))
    out += fresh.values()
    return "".join(out).rstrip() + "\n"


def render(results, command, info):
    t = Targets()
    sizes = results["sizes"]
    lines = [
        "# Benchmarks",
        "",
        "Measured against local servers on 127.0.0.1 with one command, which installs the "
        "peers into `build/bench-venv`, builds and installs the wheel there, starts the servers "
        "and writes this file:",
        "",
        f"    {command}",
        "",
        f"Run on {results.get('date') or datetime.date.today().isoformat()}, measuring for "
        f"{results['seconds'] / 60:.0f} minutes:",
        "",
        "| | |",
        "|---|---|",
    ]
    lines += [f"| {k} | {v} |" for k, v in info.items()]
    lines += [
        "",
        "Every measurement runs in a fresh process; the clients take turns, each is measured "
        f"{results['repeat']} times and the median run is shown (for memory, the worst). "
        "Ratios are ours ÷ the peer: above 1 means we are faster. Ours comes twice: "
        "\"native\" is the low-level module `strandel_native36`, \"strandel\" the package "
        "built on it (`Client`, `AsyncClient`, their WebSockets), each with a ratio column of "
        "its own. Differences of a few percent are within the spread between runs here (a "
        "1.00× is a tie). Benchmarks are not tests: nothing here is asserted.",
        "",
        "nginx marks every response `Cache-Control: no-store` except those of section (e), so "
        "that no client's HTTP cache answers in (a) to (d).",
        "",
    ]
    found = goals.goals(results)
    lines += goals.section(results)

    for key, section in (("seq", seq_section), ("conc", conc_section),
                         ("stream", stream_section), ("ws_rtt", ws_section)):
        if key in results:
            section(lines, t, results if key == "ws_rtt" else results[key], sizes)
    if "cache" in results:
        cache_section(lines, results["cache"], sizes)
    if "h3" in results:
        h3_section(lines, results, command)
    if "swr" in results:
        swr_section(lines, results, command)

    # Targets
    lines += ["", "## Targets", "", "| target | measured | met |", "|---|---|---|"]
    lines += [f"| {d} | {m} | {met_cell(met)} |" for _, d, m, met in t.rows]
    pending = [d for _, d, _, met in t.rows if met is None]
    missed = t.missed()
    # Missed goals are explained here too, after the targets.
    goal_keys = []
    for goal in found:
        if goal.met is False and goal.key not in goal_keys:
            goal_keys.append(goal.key)
    lines += ["", "### Where targets are missed, and why", ""]
    if not missed and not pending and not goal_keys:
        lines.append("Every target is met in this run.")
    for key in missed:
        names = "; ".join(d for k, d, _, met in t.rows if k == key and met is False)
        lines += [f"- **{names}.** {WHY.get(key, 'Not analysed yet.')}", ""]
    for key in goal_keys:
        names = "; ".join(g.description for g in found if g.key == key and g.met is False)
        lines += [f"- **Goal: {names}.** {WHY.get(key, 'Not analysed yet.')}", ""]
    if pending:
        lines += [
            f"- **Pending: {'; '.join(pending)}.** Our column could not be measured; the error "
            "is listed under its table.", ""]
    return "\n".join(lines).rstrip() + "\n"
