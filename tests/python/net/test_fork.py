"""A process that forks while an engine runs: in the child, the inherited
engine and WebSocket refuse work at once, dropping them is harmless, a new
engine works and the child exits cleanly; the parent carries on."""

import subprocess
import sys
from pathlib import Path

SCRIPT = r"""
import gc, os, sys
sys.path.insert(0, sys.argv[1])
from conftest import _load_module

native = _load_module()
http_url, ws_url = sys.argv[2:4]


def get(engine):
    request = engine.request("GET", http_url)
    response = request.start_stream()
    request.read_body()
    return response.status_code


engine = native.PyEngine()
assert get(engine) == 200
ws = engine.websocket(ws_url)
ws.connect()
assert ws.recv()[0] == "open"

pid = os.fork()
if pid == 0:
    for attempt in (lambda: get(engine), lambda: engine.websocket(ws_url),
                    lambda: ws.send_text("child"), lambda: ws.close(1000, "")):
        try:
            attempt()
        except RuntimeError as error:
            assert str(error) == "InvalidState", error
        else:
            raise AssertionError("an inherited engine took work")
    del ws, engine
    gc.collect()
    assert get(native.PyEngine()) == 200
    sys.exit(0)  # a normal exit, with the interpreter's clean-up

_, status = os.waitpid(pid, 0)
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
assert get(engine) == 200
ws.send_text("parent")
assert ws.recv()[:2] == ("text", list(b"parent"))
ws.close(1000, "")
print("parent done")
"""


def test_fork_with_a_running_engine(native, app, ws_server):
    result = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", SCRIPT,
         str(Path(__file__).resolve().parent), app.url("/echo"), ws_server.url("/echo?fork")],
        capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "parent done\n"
