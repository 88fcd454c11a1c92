"""The report's arithmetic and its splicing, on made-up results: a goal must
read met or missed from the right numbers, and a run of some sections must
replace exactly its own rows. Run: python -m pytest bench/test_report.py"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import goals  # noqa: E402
import report  # noqa: E402

SIZES = dict(seq_n=200, conc_n=200, rounds=1, big=32 << 20, ws_n=200, bulk_n=8, cache_n=200,
             cache_big_n=5, entries=300, swr_n=50)


def seq(pkg_rate=9000.0, pkg_cpu=80.0):
    return {"ours": {"rate": 9500.0, "cpu_us": 75.0},
            "strandel": {"rate": pkg_rate, "cpu_us": pkg_cpu},
            "pycurl": {"rate": 10000.0, "cpu_us": 60.0, "version": "PycURL/7.49.0 libcurl/8.23.0"},
            "pycurl_system": {"rate": 8000.0, "cpu_us": 70.0,
                              "version": "PycURL/7.49.0 libcurl/7.88.1"}}


def cache(hit_rate=40000.0, hit_cpu=20.0, source="cache"):
    small = {"memory": {"rate": 50000.0, "cpu_us": 15.0, "source": "cache", "mbps": 50.0},
             "off": {"rate": 9000.0, "cpu_us": 75.0, "source": "network", "mbps": 9.0},
             "strandel_memory": {"rate": hit_rate, "cpu_us": hit_cpu, "source": source,
                                 "mbps": 40.0},
             "strandel_off": {"rate": 9000.0, "cpu_us": 80.0, "source": "network", "mbps": 9.0}}
    return {"small": small}


def results(**sections):
    return {"sizes": SIZES, "repeat": 1, "partial": True, "seconds": 60.0,
            "date": "2026-12-09", **sections}


def verdicts(res):
    return {g.description.split(":")[1].strip(): g.met for g in goals.goals(res)}


@pytest.mark.parametrize("res, expected", [
    # Both sequential goals met at their bounds' right side.
    (results(seq=seq()), {"at least 0.9× pycurl's requests/s": True,
                          "at most 1.5× pycurl's CPU per request": True}),
    # 0.89× and 1.51×: both missed.
    (results(seq=seq(pkg_rate=8900.0, pkg_cpu=90.6)),
     {"at least 0.9× pycurl's requests/s": False,
      "at most 1.5× pycurl's CPU per request": False}),
    # A peer's error leaves the goal pending, never met.
    (results(seq={**seq(), "pycurl": {"error": "no pycurl"}}),
     {"at least 0.9× pycurl's requests/s": None,
      "at most 1.5× pycurl's CPU per request": None}),
    # The cache's CPU goal needs (a)'s pycurl: without (a), no such row.
    (results(cache=cache()),
     {"at least 4× the requests/s of its network path (`Client(cache=False)`, same URL)": True}),
    # A "cached" row that the network answered measured no cache.
    (results(seq=seq(), cache=cache(hit_rate=90000.0, source="network")),
     {"at least 0.9× pycurl's requests/s": True,
      "at most 1.5× pycurl's CPU per request": True,
      "at least 4× the requests/s of its network path (`Client(cache=False)`, same URL)": False,
      "at most pycurl's CPU per request over the network in (a)": False}),
    (results(seq=seq(), cache=cache(hit_rate=30000.0, hit_cpu=61.0)),
     {"at least 0.9× pycurl's requests/s": True,
      "at most 1.5× pycurl's CPU per request": True,
      "at least 4× the requests/s of its network path (`Client(cache=False)`, same URL)": False,
      "at most pycurl's CPU per request over the network in (a)": False}),
])
def test_goals(res, expected):
    assert verdicts(res) == expected


def table_rows(text):
    return [line for line in text.splitlines() if line.startswith("| (")]


def test_partial_run_replaces_its_own_goal_rows():
    full = report.render(results(seq=seq(), cache=cache(), partial=False), "full", {})
    # A later run of (a) alone: its rows replace the old ones, the cache's stay.
    again = report.render(results(seq=seq(pkg_rate=5000.0)), "partial", {})
    spliced = report.splice(full, again)
    goal_block = spliced.split("## Goals")[1].split("\n## ")[0]
    rows = table_rows(goal_block)
    assert len(rows) == 4
    assert "0.50× (5,000 against 10,000 requests/s) | **no**" in rows[0]
    assert rows[2:] == table_rows(full.split("## Goals")[1].split("\n## ")[0])[2:]
    # Splicing the same run again changes nothing.
    assert report.splice(spliced, again) == spliced


def test_goals_inserted_into_a_report_without_them():
    old = report.render(results(seq=seq(), partial=False), "full", {})
    old = old.replace(old[old.index("## Goals"):old.index("## (a)")], "")
    spliced = report.splice(old, report.render(results(seq=seq()), "partial", {}))
    assert spliced.index("## Goals") < spliced.index("## (a)") < spliced.index("## Targets")


def test_tables_name_each_pycurl_build_and_the_network_ratio():
    text = report.render(results(seq=seq(), cache=cache()), "run", {})
    assert "| pycurl, wheel (PycURL/7.49.0 libcurl/8.23.0) | 10,000 | 60 |" in text
    assert "| pycurl, on the system's libcurl (PycURL/7.49.0 libcurl/7.88.1) | 8,000 | 70 |" in text
    # 40,000 ÷ 9,000 requests/s: the package's hit against its own network path.
    assert "| strandel `Client`, memory cache | 40,000 | 20 | cache | 4.44 |" in text


def swr(states, median_ms=0.4, origin=5, conditional=5):
    row = dict(first_ms=201.0, p90_ms=0.6, max_ms=1.0, span_s=1.0, n=50)
    return {"delay_ms": 200, "interval_ms": 20, "runs": {"strandel_memory": 3, "strandel_off": 1},
            "rows": {"strandel_memory": {**row, "median_ms": median_ms, "states": states,
                                         "origin": origin, "conditional": conditional},
                     "strandel_off": {**row, "median_ms": 200.0, "p90_ms": 200.5,
                                      "states": {"network": 50}, "origin": 50,
                                      "conditional": 0}}}


def test_swr_section_tells_stale_answers_from_waits_and_replaces_its_own():
    full = report.render(results(seq=seq(), swr=swr({"cache": 50}), partial=False), "full", {})
    # 200 ÷ 0.4 ms: the uncached GET's median over the cached one's.
    assert ("| strandel `Client`, memory cache | 201.0 | 0.40 | 0.60 | 1.0 | cache 50 | 5 (5) "
            "| 500 |") in full
    assert "Every one of the 50 answers came from the stale entry" in full
    # A later run in which the cache waited for each revalidation.
    again = report.render(results(swr=swr({"revalidated": 49, "cache": 1}, median_ms=200.0,
                                          origin=49, conditional=49)), "partial", {})
    spliced = report.splice(full, again)
    assert spliced.count("## (g)") == 1
    assert "| revalidated 49, cache 1 | 49 (49) | 1.00 |" in spliced
    assert "1 of the 50 answers came from the stale entry; the others (revalidated 49)" in spliced
    assert spliced.index("## (a)") < spliced.index("## (g)") < spliced.index("## Targets")
