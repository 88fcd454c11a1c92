"""The example tour runs end to end against the servers it starts, and fetches
a URL given on its command line instead."""

import importlib.util
import re
import sys
from pathlib import Path

import pytest

import servers

ROOT = Path(__file__).resolve().parents[3]


@pytest.fixture
def tour(native):
    for name in ("hypercorn", "trustme", "websockets"):
        pytest.importorskip(name)
    saved = list(sys.path)  # the tour puts its own folder first, for its sibling modules
    try:
        if importlib.util.find_spec("strandel") is None:  # not installed: the source tree's
            sys.path.insert(0, str(ROOT / "python"))
        spec = importlib.util.spec_from_file_location("tour", ROOT / "examples" / "tour.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.path[:] = saved


def test_every_step_of_the_tour_works(tour, capsys):
    assert tour.main(["tour.py"]) == 0
    out = capsys.readouterr().out
    assert "FAILED" not in out
    # A GET with its response headers.
    assert "   HTTP/2 200 OK\n" in out
    assert "   x-served-by: tour-server\n" in out
    assert "You are strandel-tour/1.0, and you sent x-tour: step-1." in out
    # The streamed upload.
    # From the second request on, over the HTTP/3 the server advertised.
    assert "the server read 8,388,608 bytes over HTTP/3; SHA-256 matches" in out
    # The redirect chain, followed and not.
    for hop in ("302 /hop/3 -> GET /hop/2", "307 /hop/2 -> GET /hop/1",
                "302 /hop/1 -> GET /hop/0", "307 /hop/0 -> GET /landed"):
        assert f"   {hop}\n" in out
    assert "200 /landed after 4 redirects: You made it to the end" in out
    assert "   302, is_redirect=True, location: /hop/2\n" in out
    # Concurrency on asyncio.
    assert "20 of 20 answered 200 over HTTP/2" in out
    # The HTTP cache: the second answer is the first one, with an Age.
    assert "first:  200, no Age header  This is answer number 1 of the server." in out
    assert re.search(r"second: 200, Age: \d+ +This is answer number 1 of the server\.", out)
    assert "the server saw 1 request for /cached" in out
    # The browser profile.
    assert "the server received over HTTP/2:" in out
    assert re.search(r"   user-agent: Mozilla/5\.0 .*Chrome/152\.0\.0\.0", out)
    assert re.search(r'   sec-ch-ua: .*"Google Chrome";v="152"', out)
    # The WebSocket.
    assert "-> TextMessage(data='hello, echo')" in out
    assert "-> receive_bytes() 0001020304050607" in out
    assert "-> CloseMessage(code=1000, reason='tour done')" in out
    # HTTP/3, by Alt-Svc and asked for.
    assert "   second: HTTP/3 (the client remembered the alternative)\n" in out
    assert "   the server received it over HTTP/3\n" in out
    # The command line, given the run's CA and not.
    assert "you sent x-tour: step-9.\n   (exit status 0)\n" in out
    assert re.search(r"   strandel: error: TLS failure with https://\S+/hello: .+\n"
                     r"   \(exit status 35\)\n", out)
    assert out.rstrip().endswith("Every step worked.")


def test_the_command_line_and_failures(tour, nginx, ca_pem, tmp_path, capsys, monkeypatch):
    # A URL given on the command line is fetched instead, redirects shown.
    assert tour.main(["tour.py", nginx.url("http1", "/r302")]) == 0
    out = capsys.readouterr().out
    assert f"   302 -> GET {nginx.url('http1', '/small.bin')}" in out
    assert "   HTTP/1.1 200 OK" in out
    assert "   body: 1,024 bytes" in out

    # One that cannot be fetched says why.
    url = f"http://127.0.0.1:{servers.free_port()}/"  # nothing listens there
    assert tour.main(["tour.py", url]) == 1
    assert "   failed: Network (Chromium net error -102)" in capsys.readouterr().out

    # A step that fails is reported, the others still run, and the count
    # of failures comes back.
    def broken(client, local):
        raise RuntimeError("step broke on purpose")

    ran = []
    (tmp_path / "ca.pem").write_bytes(ca_pem)
    monkeypatch.setattr(tour, "STEPS", [broken, lambda client, local: ran.append(client)])
    local = type("Servers", (), {"ca_file": tmp_path / "ca.pem"})()
    assert tour.run_steps(local) == 1
    assert "   FAILED: RuntimeError: step broke on purpose" in capsys.readouterr().out
    assert len(ran) == 1
