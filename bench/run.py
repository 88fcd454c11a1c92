"""Runs every benchmark in one go against local servers and writes the report.

Each measurement runs in a fresh process (measure.py); clients take turns, and
each is measured --repeat times, the median counting. The entry point that also
installs the peers and builds the module is bench/run.sh.

Run: python bench/run.py [--repeat N] [--quick] [--only SECTION,...] [--out docs/benchmarks.md]

--only runs some sections and replaces those alone in the report, leaving the
others (and the targets) as the last full run wrote them."""

import argparse
import contextlib
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import report  # noqa: E402
import bench_servers as servers  # noqa: E402
from swr_server import SwrOrigin  # noqa: E402

OURS = "ours"  # the low-level module
PKG = "strandel"  # the package on it
# pycurl as pip installs it (its wheel's own libcurl) and pycurl built on the
# system's libcurl (measure.py: PRIVATE_PATHS).
SEQ_CLIENTS = [OURS, PKG, "pycurl", "pycurl_system", "requests", "httpx"]
CONC_CLIENTS = [OURS, PKG, "aiohttp", "httpx"]
STREAM_CLIENTS = [OURS, PKG, "pycurl", "httpx"]
WS_CLIENTS = [OURS, PKG, "strandel_async", "websockets", "aiohttp"]
# Our engine with its memory cache, with a namespace on disk, without a
# cache; the package's Client with its memory cache and without; hishel on
# httpx with its SQLite storage.
CACHE_CLIENTS = ["memory", "disk", "off", "strandel_memory", "strandel_off", "hishel"]
OPEN_CLIENTS = ["disk", "hishel"]
NAMESPACE_ENTRIES = 300
# HTTP/3 against HTTP/2 on one server: "client@version" (measure.py).
H3_CLIENTS = [f"{client}@{version}" for client in (OURS, PKG, "curl_cffi")
              for version in ("h3", "h2")]
# Stale-while-revalidate: the package's Client with its memory cache and
# without, against a slow origin (swr_server.py) whose entries are stale at
# once. Runs per client, at most --repeat: a run without the cache takes
# swr_n × SWR_DELAY_MS and waits for the origin alone, which barely varies.
SWR_RUNS = {"strandel_memory": 3, "strandel_off": 1}
SWR_DELAY_MS = 200
SWR_INTERVAL_MS = 20
# The report's sections, by the key of their results.
SECTIONS = ["seq", "conc", "stream", "ws", "cache", "h3", "swr"]


def measure(case, client, cfg, timeout=900):
    """One measurement in a child process: its JSON result, or {"error": text}.
    The stale-while-revalidate cases have a script of their own."""
    script = "measure_swr.py" if case.startswith("swr_") else "measure.py"
    args = [sys.executable, str(HERE / script), case, client, json.dumps(cfg)]
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {timeout} s"}
    if out.returncode != 0:
        lines = [line for line in out.stderr.strip().splitlines() if line.strip()]
        return {"error": lines[-1] if lines else f"exit status {out.returncode}"}
    return json.loads(out.stdout)


def repeated(case, clients, cfg, repeat, key, progress):
    """Every client `repeat` times, taking turns; per client the run with the
    median `key` (first error wins: a client that fails once is not rated)."""
    runs = {client: [] for client in clients}
    for _ in range(repeat):
        for client in clients:
            runs[client].append(measure(case, client, cfg))
    results = {}
    for client, seen in runs.items():
        errors = [r for r in seen if "error" in r]
        if errors:
            results[client] = errors[0]
        else:
            seen.sort(key=lambda r: r[key])
            results[client] = dict(seen[len(seen) // 2])
            if "peak_mib" in seen[0]:  # memory: the worst run counts
                results[client]["peak_mib"] = max(r["peak_mib"] for r in seen)
        progress(case, client, results[client])
    return results


def progress(case, client, result):
    shown = {k: round(v, 1) if isinstance(v, float) else v for k, v in result.items()}
    print(f"  {case:<10} {client:<11} {shown}", flush=True)


def run_all(args, workdir):
    sizes = dict(seq_n=2000, conc_n=1000, rounds=3, big=servers.BIG_SIZE, ws_n=2000, bulk_n=64,
                 cache_n=2000, cache_big_n=40, entries=NAMESPACE_ENTRIES, swr_n=50)
    if args.quick:
        sizes.update(seq_n=200, conc_n=200, rounds=1, big=32 * 1024 * 1024, ws_n=200, bulk_n=8,
                     cache_n=200, cache_big_n=5, swr_n=20)
    # Every child keeps its persistent state (profile namespaces) in the run's
    # folder, never in the user's.
    state = workdir / "state"
    state.mkdir()
    os.environ["XDG_STATE_HOME"] = str(state)
    ca_path, cert = servers.make_certificate(workdir)
    ca = str(ca_path)
    results = {"sizes": sizes, "repeat": args.repeat, "partial": args.only != SECTIONS}
    with contextlib.ExitStack() as stop:
        if set(args.only) & {"seq", "conc", "stream", "cache"}:
            nginx = servers.Nginx(workdir / "nginx", cert, sizes["big"])
            stop.callback(nginx.stop)
            results["nginx"] = nginx.version()
        if "seq" in args.only:
            results["seq"] = run_seq(args, sizes, nginx)
        if "conc" in args.only:
            results["conc"] = run_conc(args, sizes, nginx, ca)
        if "stream" in args.only:
            results["stream"] = run_stream(args, sizes, nginx, ca)
        if "ws" in args.only:
            echo = servers.EchoServer(workdir)
            stop.callback(echo.stop)
            results.update(run_ws(args, sizes, echo))
        if "cache" in args.only:
            print("(e) HTTP cache", flush=True)
            results["cache"] = run_cache(args, sizes, nginx, state)
        if "h3" in args.only:
            print("(f) HTTP/3", flush=True)
            results["h3"] = run_h3(args, sizes, workdir, cert, ca)
        if "swr" in args.only:
            print("(g) stale-while-revalidate", flush=True)
            origin = SwrOrigin(workdir, SWR_DELAY_MS)
            stop.callback(origin.stop)
            results["swr"] = run_swr(args, sizes, origin, state)
    return results


def run_seq(args, sizes, nginx):
    print("(a) sequential GETs", flush=True)
    return repeated(
        "seq", SEQ_CLIENTS,
        dict(url=nginx.url("http1", "/small.bin"), n=sizes["seq_n"], warmup=100,
             rounds=sizes["rounds"], size=servers.SMALL_SIZE),
        args.repeat, "rate", progress)


def run_conc(args, sizes, nginx, ca):
    print("(b) concurrent GETs on asyncio", flush=True)
    conc = {}
    for proto, kind in (("HTTP/1.1", "http1"), ("HTTP/2", "https")):
        conc[proto] = repeated(
            "conc", CONC_CLIENTS,
            dict(url=nginx.url(kind, "/small.bin"), n=sizes["conc_n"], inflight=100,
                 rounds=sizes["rounds"], size=servers.SMALL_SIZE, http2=proto == "HTTP/2",
                 ca=ca if kind == "https" else None),
            args.repeat, "rate", progress)
    return conc


def run_stream(args, sizes, nginx, ca):
    print("(c) large body read chunk by chunk", flush=True)
    stream = {}
    for proto, kind in (("HTTP/1.1", "http1"), ("HTTP/2", "https")):
        rows = repeated(
            "stream", STREAM_CLIENTS,
            dict(url=nginx.url(kind, "/big.bin"), size=sizes["big"],
                 http2=proto == "HTTP/2", ca=ca if kind == "https" else None),
            args.repeat, "mbps", progress)
        chunk = rows[OURS].get("chunk", 16384)
        rows["list"] = repeated("listbound", [""], dict(chunk=chunk, size=sizes["big"]),
                                args.repeat, "mbps", progress)[""]
        rows["list"]["chunk"] = chunk
        stream[proto] = rows
    return stream


def run_ws(args, sizes, echo):
    print("(d) WebSocket echo", flush=True)
    rtt = repeated("ws_rtt", WS_CLIENTS, dict(url=echo.url, n=sizes["ws_n"], text="x" * 32),
                   args.repeat, "rate", progress)
    bulk = repeated("ws_bulk", WS_CLIENTS,
                    dict(url=echo.url, n=sizes["bulk_n"], message=1024 * 1024, window=4),
                    args.repeat, "mbps", progress)
    return {"ws_rtt": rtt, "ws_bulk": bulk}


def run_h3(args, sizes, workdir, cert, ca):
    """(a), (b) and (c) over HTTP/3 and over HTTP/2 against one nginx that
    speaks both; its CPU time is measured with each client's. Without that
    nginx every row carries the reason."""
    try:
        nginx = servers.NginxH3(workdir / "nginx-h3", cert, sizes["big"], args.nginx_h3)
    except Exception as error:  # noqa: BLE001 - shown in the report as it is
        return {"error": f"no HTTP/3 server: {error}"}
    common = dict(ca=ca, server_pid=nginx.pid)
    h3 = {"server": f"nginx {nginx.version()}"}
    try:
        h3["seq"] = repeated(
            "seq", H3_CLIENTS,
            dict(common, url=nginx.url("/small.bin"), n=sizes["seq_n"], warmup=100,
                 rounds=sizes["rounds"], size=servers.SMALL_SIZE),
            args.repeat, "rate", progress)
        h3["conc"] = repeated(
            "conc", H3_CLIENTS,
            dict(common, url=nginx.url("/small.bin"), n=sizes["conc_n"], inflight=100,
                 rounds=sizes["rounds"], size=servers.SMALL_SIZE),
            args.repeat, "rate", progress)
        h3["stream"] = repeated(
            "stream", H3_CLIENTS, dict(common, url=nginx.url("/big.bin"), size=sizes["big"]),
            args.repeat, "mbps", progress)
    finally:
        nginx.stop()
    return h3


def run_cache(args, sizes, nginx, state):
    cache = {}
    for label, path, size, n, warmup in (
            ("small", "/cached/small.bin", servers.SMALL_SIZE, sizes["cache_n"], 20),
            ("big", "/cached/big.bin", servers.CACHED_BIG_SIZE, sizes["cache_big_n"], 2)):
        cache[label] = repeated(
            "cache_get", CACHE_CLIENTS,
            dict(url=nginx.url("http1", path), size=size, n=n, warmup=warmup,
                 rounds=sizes["rounds"], state=str(state), namespace=f"bench-{label}",
                 database=f"hishel-{label}.db"),
            args.repeat, "rate", progress)
    cfg = dict(url=nginx.url("http1", "/cached/small.bin"), entries=sizes["entries"],
               state=str(state), namespace="bench-open", database="hishel-open.db")
    filled = {client: measure("cache_fill", client, cfg) for client in OPEN_CLIENTS}
    for client, result in filled.items():
        progress("cache_fill", client, result)
    opened = repeated("cache_open", [c for c in OPEN_CLIENTS if "error" not in filled[c]],
                      cfg, args.repeat, "total_ms", progress)
    cache["open"] = {c: opened.get(c) or filled[c] for c in OPEN_CLIENTS}
    return cache


def run_swr(args, sizes, origin, state):
    cfg = dict(base=origin.url, n=sizes["swr_n"], interval_ms=SWR_INTERVAL_MS,
               delay_ms=SWR_DELAY_MS, size=servers.SMALL_SIZE, state=str(state))
    runs = {client: min(args.repeat, n) for client, n in SWR_RUNS.items()}
    rows = {}
    for client, n in runs.items():
        rows.update(repeated("swr_get", [client], cfg, n, "median_ms", progress))
    return {"delay_ms": SWR_DELAY_MS, "interval_ms": SWR_INTERVAL_MS, "runs": runs,
            "rows": rows}


def sections(text):
    chosen = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in chosen if name not in SECTIONS]
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(f"sections are {', '.join(SECTIONS)}")
    return [name for name in SECTIONS if name in chosen]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="runs per client (median counts)")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a try-out")
    parser.add_argument("--only", type=sections, default=SECTIONS, metavar="SECTION,...",
                        help=f"run these sections alone ({', '.join(SECTIONS)}) and replace "
                             "them in the report")
    parser.add_argument("--nginx-h3", default=str(servers.NGINX_H3),
                        help="an nginx with HTTP/3, for section h3 (bench/nginx_h3.sh)")
    parser.add_argument("--out", default=str(ROOT / "docs" / "benchmarks.md"))
    parser.add_argument("--command", default="python bench/run.py",
                        help="the command to record in the report")
    parser.add_argument("--render", metavar="RESULTS_JSON",
                        help="only write the report again from the results of an earlier run")
    args = parser.parse_args()
    if args.render:
        results = json.loads(Path(args.render).read_text())
        write_report(results, args)
        return

    started = time.monotonic()
    load = os.getloadavg()
    scratch = ROOT / "build" / "bench-run"
    scratch.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=scratch) as workdir:
        results = run_all(args, Path(workdir))
    results["seconds"] = time.monotonic() - started
    results["load"] = [load, os.getloadavg()]
    results["command"] = args.command
    results["date"] = time.strftime("%Y-%m-%d")
    results["machine"] = report.machine(results)
    # A partial run keeps a full run's results.
    name = f"results-{'-'.join(args.only)}.json" if results["partial"] else "results.json"
    (scratch / name).write_text(json.dumps(results, indent=1))
    write_report(results, args)


def write_report(results, args):
    text = report.render(results, results["command"], results["machine"])
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    if results.get("partial") and out.exists():
        text = report.splice(out.read_text(), text)
    out.write_text(text)
    print(f"\nwrote {out} ({results['seconds']:.0f} s of measuring)")


if __name__ == "__main__":
    main()
