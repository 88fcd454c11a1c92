"""Fixtures for the tests of the strandel package against the networked Core."""

import asyncio
import os
import sys
import threading
from pathlib import Path

import pytest

import servers

if os.environ.get("HALVANE_FAKE_CORE"):
    collect_ignore_glob = ["test_*.py"]


@pytest.fixture(scope="session")
def strandel(native):
    """The package, imported once the native module is bound to the real Core:
    the installed one, else the source tree's."""
    try:
        import strandel as package
    except ImportError:
        sys.path.insert(0, str(Path(__file__).resolve().parents[4] / "python"))
        import strandel as package
    return package


@pytest.fixture
def client(strandel, ca_pem):
    with strandel.Client(ca_pem=ca_pem, timeout=30) as c:
        yield c


def _loop_factories():
    factories = [pytest.param(asyncio.new_event_loop, id="asyncio")]
    try:
        import uvloop
    except ImportError:
        factories.append(pytest.param(None, id="uvloop",
                                      marks=pytest.mark.skip(reason="uvloop is not installed")))
    else:
        factories.append(pytest.param(uvloop.new_event_loop, id="uvloop"))
    return factories


@pytest.fixture(params=_loop_factories())
def run(request):
    """Runs a coroutine to its end on a new loop of each kind (asyncio, uvloop)."""
    def run_on_loop(coro):
        loop = request.param()
        try:
            return loop.run_until_complete(coro)
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()
    return run_on_loop


class Canned:
    """A server answering each path with fixed bytes, then closing; `arrived`
    is set when a request for that path came in, `left` when the client of a
    held connection ("/hold") closed it."""

    def __init__(self, answers):
        self.arrived = {path: threading.Event() for path in answers}
        self.left = {path: threading.Event() for path in answers}

        def behaviour(path, answer):
            def serve(sock, head, rest):
                self.arrived[path].set()
                if answer is None:  # hold the connection until the client goes
                    try:
                        while sock.recv(65536):
                            pass
                    except OSError:
                        pass
                    self.left[path].set()
                else:
                    sock.sendall(answer)
            return serve

        self.server = servers.ScriptedServer(
            {path: behaviour(path, answer) for path, answer in answers.items()})

    def url(self, path):
        return self.server.url(path)

    def reset(self, path):
        self.arrived[path].clear()
        self.left[path].clear()

    def stop(self):
        self.server.stop()


def canned_response(head_lines, body=b""):
    head = "\r\n".join(head_lines + [f"Content-Length: {len(body)}", "", ""])
    return head.encode("latin-1") + body


CANNED = {
    "/dup": canned_response(["HTTP/1.1 200 OK", "X-Dup: 1", "x-DUP: 2", "SET-COOKIE: a=1",
                             "set-cookie: b=2", "X-Folded: first", " second"], b"{}"),
    "/latin1": canned_response(["HTTP/1.1 200 OK", "Content-Type: text/plain; charset=ISO-8859-1"],
                               "café".encode("latin-1")),
    "/bad-utf8": canned_response(["HTTP/1.1 200 OK", "Content-Type: text/plain"], b"ok \xff!"),
    "/json-utf16": canned_response(["HTTP/1.1 200 OK", "Content-Type: application/json"],
                                   '{"k": "é"}'.encode("utf-16")),
    "/json-latin1": canned_response(
        ["HTTP/1.1 200 OK", "Content-Type: application/json; charset=latin-1"],
        '{"k": "é"}'.encode("latin-1")),
    "/lines": canned_response(["HTTP/1.1 200 OK"], b"one\r\ntwo\nthree\r\n\r\nlast"),
    "/no-reason": b"HTTP/1.1 404 \r\nContent-Length: 0\r\n\r\n",
    "/hold": None,
}


@pytest.fixture(scope="session")
def canned():
    server = Canned(CANNED)
    yield server
    server.stop()
