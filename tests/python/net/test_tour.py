"""The example tour runs end to end against the servers it starts, and fetches
a URL given on its command line instead."""

import importlib.util
import sys
from pathlib import Path

import pytest

import servers

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"


@pytest.fixture
def tour(native):
    for name in ("hypercorn", "trustme", "websockets"):
        pytest.importorskip(name)
    saved = list(sys.path)  # the tour puts its own folder first, for its sibling modules
    try:
        spec = importlib.util.spec_from_file_location("tour", EXAMPLES / "tour.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.path[:] = saved


def test_every_step_of_the_tour_works(tour, capsys):
    assert tour.main(["tour.py"]) == 0
    out = capsys.readouterr().out
    assert "FAILED" not in out
    assert "   HTTP/2 200" in out
    assert "   x-served-by: tour-server" in out
    assert "You are strandel-tour/1.0, and you sent x-tour: step-1." in out
    assert "the server read 8,388,608 bytes over HTTP/2; SHA-256 matches" in out
    assert out.count("follow_redirect()") == 4
    assert "200 after 4 redirects: You made it to the end" in out
    assert "20 of 20 answered 200 over HTTP/2" in out
    assert "-> text 'hello, echo'" in out
    assert "-> binary 0001020304050607" in out
    assert "closed with 1000 'tour done'" in out
    assert out.rstrip().endswith("Every step worked.")


def test_a_failing_step_is_reported_and_the_tour_goes_on(tour, capsys, monkeypatch):
    def broken(engine, local):
        raise RuntimeError("step broke on purpose")

    ran = []
    monkeypatch.setattr(tour, "STEPS", [broken, lambda engine, local: ran.append(local)])
    assert tour.main(["tour.py"]) == 1
    out = capsys.readouterr().out
    assert "   FAILED: step broke on purpose" in out
    assert len(ran) == 1
    assert out.rstrip().endswith("1 step(s) failed.")


def test_a_url_on_the_command_line_is_fetched_instead(tour, nginx, capsys):
    assert tour.main(["tour.py", nginx.url("http1", "/r302")]) == 0
    out = capsys.readouterr().out
    assert f"   302 -> GET {nginx.url('http1', '/small.bin')}" in out
    assert "   HTTP/1.1 200 OK" in out
    assert "   body: 1,024 bytes" in out


def test_a_url_that_cannot_be_fetched_says_why(tour, capsys):
    url = f"http://127.0.0.1:{servers.free_port()}/"  # nothing listens there
    assert tour.main(["tour.py", url]) == 1
    assert "   failed: Network (Chromium net error -102)" in capsys.readouterr().out
