"""The goals for the per-request cost, and that nothing else regresses: ratios
computed from one run's results, each met or not, for the table at the top
of docs/benchmarks.md. "pycurl" is always the wheel.

A goal needs the sections it compares (the cache's CPU goal needs (a) and
(e)); a run of some sections (run.py --only) computes the goals it can, and
merge() puts those rows into the table an earlier run wrote."""

import re
from typing import NamedTuple, Optional

OURS_PKG = "strandel"
PYCURL = "pycurl"  # the wheel


class Goal(NamedTuple):
    key: str  # the key of its explanation in report.WHY when missed
    description: str  # also the row's key when merging tables
    measured: str
    met: Optional[bool]  # None: a side has no number (its error is under its table)


def usable(result):
    return isinstance(result, dict) and "error" not in result


def ratio_goal(key, description, a, b, metric, *, floor=None, ceiling=None, unit=""):
    """a[metric] ÷ b[metric] against a floor (at least) or a ceiling (at most),
    with both values shown in `unit`."""
    if not (usable(a) and usable(b)):
        return Goal(key, description, "—", None)
    r = a[metric] / b[metric]
    measured = f"{r:.2f}× ({a[metric]:,.0f} against {b[metric]:,.0f}{unit})"
    return Goal(key, description, measured, r >= floor if floor is not None else r <= ceiling)


def served_from_cache(key, description, result, goal):
    """`goal`, unless the cached row was not served from the cache: then it
    measured no cache, and the goal is not met."""
    if usable(result) and result.get("source") != "cache":
        return Goal(key, description, f"served from {result.get('source', '?')}", False)
    return goal


def seq_goals(results):
    seq = results["seq"]
    pkg, pycurl = seq.get(OURS_PKG), seq.get(PYCURL)
    yield ratio_goal("goal_seq_rate",
                     "(a) sequential `Client.get`: at least 0.9× pycurl's requests/s",
                     pkg, pycurl, "rate", floor=0.9, unit=" requests/s")
    yield ratio_goal("goal_seq_cpu",
                     "(a) sequential `Client.get`: at most 1.5× pycurl's CPU per request",
                     pkg, pycurl, "cpu_us", ceiling=1.5, unit=" µs")


def cache_goals(results):
    rows = results["cache"].get("small", {})
    hit, network = rows.get("strandel_memory"), rows.get("strandel_off")
    text = ("(e) `Client.get` answered from the memory cache: at least 4× the requests/s of "
            "its network path (`Client(cache=False)`, same URL)")
    yield served_from_cache("goal_cache_rate", text, hit, ratio_goal(
        "goal_cache_rate", text, hit, network, "rate", floor=4.0, unit=" requests/s"))
    if "seq" in results:
        text = ("(e) `Client.get` answered from the memory cache: at most pycurl's CPU per "
                "request over the network in (a)")
        yield served_from_cache("goal_cache_cpu", text, hit, ratio_goal(
            "goal_cache_cpu", text, hit, results["seq"].get(PYCURL), "cpu_us", ceiling=1.0,
            unit=" µs"))


def conc_goals(results):
    for proto, rows in results["conc"].items():
        name = "HTTPS" if proto == "HTTP/2" else proto
        yield ratio_goal("goal_conc",
                         f"(b) {name}, 100 in flight, `AsyncClient`: at least 1.5× aiohttp",
                         rows.get(OURS_PKG), rows.get("aiohttp"), "rate", floor=1.5,
                         unit=" requests/s")


def stream_goals(results):
    for proto, rows in results["stream"].items():
        pkg = rows.get(OURS_PKG)
        yield ratio_goal("goal_stream_rate",
                         f"(c) {proto}, `Client.stream` + `iter_bytes`: at least 0.8× pycurl",
                         pkg, rows.get(PYCURL), "mbps", floor=0.8, unit=" MB/s")
        text = f"(c) {proto}, `Client.stream` + `iter_bytes`: under 16 MiB above the start"
        if usable(pkg):
            yield Goal("goal_stream_rss", text, f"{pkg['peak_mib']:.1f} MiB",
                       pkg["peak_mib"] < 16)
        else:
            yield Goal("goal_stream_rss", text, "—", None)


def ws_goals(results):
    rows = results["ws_bulk"]
    for client, name in ((OURS_PKG, "`Client.websocket`"),
                         ("strandel_async", "`AsyncClient.websocket`")):
        yield ratio_goal("goal_ws_bulk", f"(d) WebSocket bulk, {name}: at least 1.2× websockets",
                         rows.get(client), rows.get("websockets"), "mbps", floor=1.2,
                         unit=" MB/s")


# The section each group of goals needs in the results.
GROUPS = (("seq", seq_goals), ("cache", cache_goals), ("conc", conc_goals),
          ("stream", stream_goals), ("ws_bulk", ws_goals))


def goals(results):
    """The goals this run measured, in the table's order."""
    found = []
    for section, make in GROUPS:
        if section in results:
            found += make(results)
    return found


def met_cell(met):
    return {True: "yes", False: "**no**", None: "pending"}[met]


def section(results):
    """The "## Goals" block's lines; none when the run measured no goal."""
    found = goals(results)
    if not found:
        return []
    lines = [
        "## Goals",
        "",
        "The per-request cost, on this machine and in one run: sequential `Client.get` "
        "against pycurl as pip installs it (the wheel), an answer from the memory cache "
        "against our own network path and against pycurl's CPU per request, and no "
        "regression elsewhere. CPU is the client process's (all its threads). A run of some "
        "sections replaces the rows it measured and keeps the others. Where a goal is missed, "
        "the list at the end says why.",
        "",
        "| goal | measured | met |",
        "|---|---|---|",
    ]
    lines += [f"| {g.description} | {g.measured} | {met_cell(g.met)} |" for g in found]
    return lines + [""] + FINDINGS + [""]


# What profiling the per-request path found, and what changed for it. Figures
# from perf, strace and perf-stat system-call counts on this machine, 1 KiB GETs
# to the loopback nginx of (a).
FINDINGS = [
    "### The per-request path: what the profile found, and what changed",
    "",
    "- **Found: a thread hand-over costs more here than a whole request of pycurl's "
    "own work.** This machine's two CPUs are virtual: waking a thread that sleeps on the "
    "other CPU costs about 50 µs of latency and 20 µs of CPU (a condition-variable "
    "ping-pong between two threads takes 104 µs a round trip across the CPUs, 7.7 µs with "
    "both threads held to one CPU, 2.5 µs as a busy-wait). pycurl pays one such wake-up "
    "per request (its thread sleeps in `poll` until nginx answers). Our network path pays "
    "three: the caller wakes the Core's network thread, nginx's answer wakes that thread, "
    "and it wakes the caller. In a profile of the native path the network thread had 71% "
    "of the samples, 40 points of them in the kernel (switching, waking, polling).",
    "- **Found: the threads fought over the request's state.** The native path made 5 "
    "`futex` calls a request on a quiet machine and up to 10 on a busy one: each callback "
    "woke the waiter while still holding the state mutex, so the waiter woke into a held "
    "mutex and slept again, and the next callback then had to wake it once more.",
    "- **Found: an answer from the memory cache went through the network thread**, two "
    "wake-ups for a lookup and a copy: 119 µs of CPU and about 7,000 requests/s at the "
    "native level, more CPU than pycurl's whole network round trip.",
    "- **Changed: a fresh answer from the memory cache is given inside "
    "`hv_request_start`** (a plain GET: no request directives, conditionals or Range, a "
    "stored response without Vary, not a redirect, at most 256 KiB), with the same "
    "callbacks in the same order, before the network thread ever sees the request. At the "
    "native level: 7,000 → 53,000 requests/s, 119 → 14 µs of CPU; `Client.get`: 5,300 → "
    "12,000–13,000 requests/s, 173 → 57–67 µs (alternating runs of both builds). "
    "Everything else, revalidation and the disk cache included, takes the full path.",
    "- **Changed: waiters are woken after the state mutex is let go, and take it with a "
    "spin of a few microseconds before sleeping** (the holders never wait on anything): "
    "on the native path `futex` calls per request fell from 5.0 to 3.5 (what is left is "
    "the waits themselves, a sleep and a wake-up each) and context switches from 4.7 to "
    "3.4; the package's path, which waits on its waker's descriptor, makes under 0.1.",
    "- **Changed: the network thread is woken only when it sleeps**, and once however many "
    "commands arrive meanwhile.",
    "- **Changed: the package's plain request takes fewer calls** (no retry or auth flow "
    "without auth, hooks or retries; checked methods and URLs remembered; the read bound "
    "kept inline; one timer per event loop for bounded asyncio waits): its own Python fell "
    "from 13.7 to 8.4 µs a request measured alone. In the request loop the same code "
    "costs 2.5 to 3.5 times that (cold caches after each sleep).",
    "- **Tried and dropped: spinning for the next event.** A 20 µs spin of the network "
    "thread for the next command, and of the waiter for the next callback, only added CPU "
    "(about 40 µs a request): nginx's answer and the caller's next request take longer "
    "than any spin that costs less than the wake-up it would save.",
]


ROW = re.compile(r"(?m)^\| (?!goal \|)(?!-)(.+?) \| .*\|$")


def merge(old, new):
    """The Goals block `old` with the rows of `new` in place of those of the
    same goal, and new goals added at the end of the table."""
    fresh = {m.group(1): m.group(0) for m in ROW.finditer(new)}
    kept = []
    for m in ROW.finditer(old):
        kept.append(fresh.pop(m.group(1), m.group(0)))
    kept += fresh.values()
    table = "\n".join(kept)
    # The new block's text, with the merged table in place of its own.
    rows = list(ROW.finditer(new))
    return new[:rows[0].start()] + table + new[rows[-1].end():]
