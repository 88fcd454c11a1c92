"""Leaving the interpreter while requests and WebSockets are still live: the
process must end promptly with status 0 however the exit meets the Core's
threads (notifying a loop, dropping references) and Python threads blocked in
the module."""

import base64
import hashlib
import os
import subprocess
import sys
import textwrap
import time

import pytest

import servers

RUNS = 5
EXIT_BUDGET = 60.0  # seconds for every child together; a hang runs into it


def _hang(sock, head, rest):
    while sock.recv(65536):
        pass


def _stream(sock, head, rest):
    # A body that never ends, so that the Core calls back all through the exit.
    sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
    try:
        while True:
            sock.sendall(b"400\r\n" + b"x" * 0x400 + b"\r\n")
            time.sleep(0.002)
    except OSError:
        pass


def _stall(sock, head, rest):
    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n")
    _hang(sock, head, rest)


def _ws(sock, head, rest):
    key = next(line.split(":", 1)[1].strip() for line in head.split("\r\n")
               if line.lower().startswith("sec-websocket-key:"))
    accept = base64.b64encode(hashlib.sha1(
        (key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest()).decode()
    sock.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Accept: {accept}\r\n\r\n").encode())
    try:
        while True:
            sock.sendall(b"\x81\x05hello")
            time.sleep(0.002)
    except OSError:
        pass


@pytest.fixture(scope="module")
def server():
    s = servers.ScriptedServer({"/hang": _hang, "/stream": _stream, "/stall": _stall,
                                "/ws": _ws})
    yield s
    s.stop()


PRELUDE = """
import asyncio, ctypes, gc, os, sys, threading
sys.path.insert(0, os.environ["MODULE_DIR"])
if os.environ.get("CORE_LIB"):
    ctypes.CDLL(os.environ["CORE_LIB"], mode=ctypes.RTLD_GLOBAL)
import strandel_native36 as native
BASE = os.environ["BASE"]
engine = native.PyEngine()

def start_async(loop, url):
    request = engine.request("GET", BASE + url)
    request.start_async(loop, lambda: request.poll_events())
    return request

def open_ws(loop):
    ws = engine.websocket(BASE.replace("http", "ws") + "/ws")
    ws.start_async(loop, lambda: ws.poll_events())
    return ws
"""

SCENARIOS = {
    # The everyday pattern: a timed-out gather, then the script returns.
    "wait_for_gather": """
async def fetch(url):
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    request = engine.request("GET", BASE + url)
    def notify():
        for event in request.poll_events():
            if event[0] in ("done", "error") and not done.done():
                done.set_result(event)
    request.start_async(loop, notify)
    return await done

async def main():
    try:
        await asyncio.wait_for(asyncio.gather(
            *(fetch("/hang" if i % 2 else "/stream") for i in range(10))), 0.2)
    except asyncio.TimeoutError:
        pass

asyncio.run(main())
""",
    # Live objects whose loop is closed keep being notified in vain.
    "closed_loop": """
loop = asyncio.new_event_loop()
live = [start_async(loop, "/stream") for _ in range(4)] + [open_ws(loop)]
loop.run_until_complete(asyncio.sleep(0.05))
loop.close()
""",
    # Dropped while their callbacks stay installed: the Core keeps the
    # notifiers, and with them the loop, until it lets go.
    "dropped_attached": """
loop = asyncio.new_event_loop()
def drop():
    start_async(loop, "/stream")
    start_async(loop, "/hang")
    open_ws(loop)
drop()
gc.collect()
loop.run_until_complete(asyncio.sleep(0.05))
""",
    # Daemon threads inside waiting methods when the interpreter goes.
    "daemon_threads": """
ready = threading.Barrier(3)
def reader():
    request = engine.request("GET", BASE + "/stall")
    request.start_stream()
    ready.wait()
    while True:
        request.next_body()
def uploader():
    request = engine.request("POST", BASE + "/hang", chunked=True)
    request.start()
    ready.wait()
    while True:
        request.upload_write(b"x" * 65536, False)
def receiver():
    ws = engine.websocket(BASE.replace("http", "ws") + "/ws")
    ws.connect()
    while True:
        ws.recv()
for target in (reader, uploader, receiver):
    threading.Thread(target=target, daemon=True).start()
ready.wait()
""",
}


def _module_env(native, server):
    module_dir = os.path.dirname(native.__file__)
    core = next((p for p in (os.path.join(module_dir, "libhalvane.so.2"),
                             os.path.join(module_dir, "libhalvane", "libhalvane.so.2"))
                 if os.path.exists(p)), "")
    env = {k: v for k, v in os.environ.items()
           if k not in ("HALVANE_FAKE_CORE", "LD_LIBRARY_PATH")}
    env.update(MODULE_DIR=module_dir, CORE_LIB=core, BASE=server.url(""))
    return env


def test_exit_with_live_work_is_clean(native, server):
    env = _module_env(native, server)
    children = [
        (name, subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        for name, body in SCENARIOS.items() for _ in range(RUNS)
    ]
    deadline = time.monotonic() + EXIT_BUDGET
    failures = []
    try:
        for name, child in children:
            try:
                out, _ = child.communicate(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                failures.append(f"{name}: still running after {EXIT_BUDGET} s")
                continue
            if child.returncode != 0:
                failures.append(f"{name}: status {child.returncode}: {out.decode()[-400:]}")
    finally:
        for _, child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
    assert not failures, "\n".join(failures)
