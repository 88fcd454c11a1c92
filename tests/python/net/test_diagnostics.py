"""The Core's diagnostic channel (HALVANE_LOG) as a user sees it: one line an
event, each with a time stamp and the transfer's handle, for a stored GET, its
repeat from the cache and a redirect; a forked child logs its own requests; a
file that cannot be opened costs one line on stderr and nothing else."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

from cache_server import Resp

HERE = str(Path(__file__).resolve().parent)
LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z transfer (\d+) (.*)")

CHILD = textwrap.dedent("""
    import os
    import sys
    sys.path.insert(0, sys.argv[1])
    from conftest import _load_module
    from cache_server import fetch
    native = _load_module()
    engine = native.PyEngine()
    for url in sys.argv[3:]:
        result = fetch(engine, url)
        assert result.error is None and result.status == 200, result
    if sys.argv[2] == "fork":
        # A child of this process: a new engine fetches the last URL again.
        pid = os.fork()
        if pid == 0:
            result = fetch(native.PyEngine(), sys.argv[-1])
            sys.exit(0 if result.status == 200 else 1)
        assert os.waitpid(pid, 0)[1] == 0
""")


def run_child(log: str, *urls: str, fork: bool = False) -> subprocess.CompletedProcess:
    done = subprocess.run([sys.executable, "-c", CHILD, HERE, "fork" if fork else "-", *urls],
                          env=dict(os.environ, HALVANE_LOG=log), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done


def test_a_stored_get_its_repeat_and_a_redirect_each_leave_their_lines(origin, tmp_path):
    cached = origin.new_path("cached")
    origin.script(cached, Resp(headers=[("Cache-Control", "max-age=3600")]))
    target = origin.new_path("target")
    origin.script(target, Resp(headers=[("Cache-Control", "no-store")]))
    moved = origin.new_path("moved")
    origin.script(moved, Resp(status=302, headers=[("Location", target)]))
    log = tmp_path / "halvane.log"
    log.write_text("an earlier line\n")
    run_child(str(log), origin.url(cached), origin.url(cached), origin.url(moved))

    lines = log.read_text().splitlines()
    assert lines[0] == "an earlier line", "appended to"
    events: dict[str, list[str]] = {}
    for line in lines[1:]:
        match = LINE.fullmatch(line)
        assert match, line
        events.setdefault(match[1], []).append(match[2])
    hop = r"response {} HTTP/1\.1, connection {}(?: #\d+)? from port \d+ to 127\.0\.0\.1 port {}"
    port = origin.port
    expected = [
        [f"GET {origin.url(cached)}", "cache miss", hop.format(200, "new", port),
         "cache stored", "end, code 0"],
        [f"GET {origin.url(cached)}", "cache hit", "end, code 0"],
        [f"GET {origin.url(moved)}", "cache miss", hop.format(302, "reused", port),
         f"redirect 302 to {target}", f"GET {origin.url(target)}", "cache miss",
         hop.format(200, "reused", port), "cache not stored", "end, code 0"],
    ]
    assert len(events) == len(expected)
    for got, want in zip(events.values(), expected):
        assert len(got) == len(want), got
        for line, pattern in zip(got, want):
            assert re.fullmatch(pattern if pattern.startswith("response") else re.escape(pattern),
                                line), (line, pattern)


def test_a_forked_child_logs_its_own_requests(origin, tmp_path):
    path = origin.new_path("forked")
    origin.script(path, Resp(headers=[("Cache-Control", "no-store")]))
    log = tmp_path / "halvane.log"
    run_child(str(log), origin.url(path), fork=True)
    ends = [line for line in log.read_text().splitlines() if line.endswith(" end, code 0")]
    assert len(ends) == 2


def test_a_log_file_that_cannot_be_opened_costs_one_line_on_stderr(origin, tmp_path):
    path = origin.new_path("plain")
    origin.script(path, Resp())
    log = tmp_path / "missing" / "halvane.log"
    done = run_child(str(log), origin.url(path))
    assert done.stderr.splitlines() == [
        f"halvane: HALVANE_LOG: cannot open {log} (No such file or directory); no diagnostics"]
    assert not log.parent.exists()
