"""The extensions of our own Core, on the networked Core: connect timeouts,
the engine's cookie jar, how a response was answered, WebSocket pings and
message sizes. Sized streamed uploads (the Core reading a caller's
Content-Length) are in test_sized_upload.py."""

import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import servers
import ws_servers
from cache_server import Resp
from ws_client import events_until_end, open_websocket

HOST = "127.0.0.1"
CONNECT_TIMED_OUT = "Timeout (Chromium net error -118)"


def test_the_networked_core_offers_every_extension(native):
    assert native.core_extensions == frozenset(
        {"connect_timeout", "cookies", "cache_state", "websocket_ping", "max_message_size"})


# ---- connect timeout -------------------------------------------------------------

class FullBacklog:
    """A listener that never accepts, its queue filled: a further SYN gets
    no answer, so a connection to it can only time out."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind((HOST, 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        # Connections complete while the queue has room; the first that
        # does not shows it is full.
        while True:
            filler = socket.socket()
            filler.settimeout(0.5)
            try:
                filler.connect((HOST, self.port))
            except (socket.timeout, BlockingIOError):
                filler.close()
                return
            self.fillers.append(filler)
            assert len(self.fillers) < 64, "the listener's queue never filled"

    def close(self):
        for s in self.fillers + [self.listener]:
            s.close()


@pytest.fixture
def full_backlog():
    listener = FullBacklog()
    yield listener
    listener.close()


def test_connect_timeout_ends_a_connection_that_never_comes(engine, full_backlog):
    request = engine.request("GET", f"http://{HOST}:{full_backlog.port}/", connect_timeout=0.3)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as failure:
        request.start_stream()
    assert str(failure.value) == CONNECT_TIMED_OUT
    assert time.monotonic() - started < 20  # not the system's own minutes of retries


def test_connect_timeout_bounds_a_quic_handshake_with_a_silent_port(native, ca_pem):
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind((HOST, 0))
    try:
        engine = native.PyEngine(ca_pem=ca_pem, http_version="h3")
        request = engine.request("GET", f"https://{HOST}:{silent.getsockname()[1]}/",
                                 connect_timeout=0.3)
        with pytest.raises(RuntimeError) as failure:
            request.start_stream()
        assert str(failure.value) == CONNECT_TIMED_OUT
    finally:
        silent.close()


def test_connect_timeout_does_not_bound_the_exchange(engine):
    """A response slower than the connect timeout still arrives."""
    arrived = threading.Event()

    def slow(sock, head, rest):
        arrived.set()
        threading.Event().wait(0.6)  # three times the connect timeout below
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")

    server = servers.ScriptedServer({"/slow": slow})
    try:
        request = engine.request("GET", server.url("/slow"), connect_timeout=0.2)
        response = request.start_stream()
        assert (response.status_code, bytes(request.read_body())) == (200, b"ok")
        assert arrived.is_set()
    finally:
        server.stop()


# ---- the cookie jar ----------------------------------------------------------------

def sent_cookie(engine, app, headers=None):
    """The Cookie field /echo saw, or None."""
    request = engine.request("GET", app.url("/echo"), headers=headers)
    request.start_stream()
    seen = json.loads(bytes(request.read_body()))["headers"]
    values = [v for k, v in seen if k == "cookie"]
    assert len(values) <= 1, values
    return values[0] if values else None


def test_a_cookie_set_by_the_caller_goes_with_the_next_request(engine, app):
    engine.set_cookie("flavour", "oat", HOST, host_only=True)
    assert sent_cookie(engine, app) == "flavour=oat"
    engine.set_cookie("flavour", "rye", HOST, host_only=True)  # replaces: same name, domain, path
    assert sent_cookie(engine, app) == "flavour=rye"
    assert engine.delete_cookies(domain=HOST, name="flavour") == 1
    assert sent_cookie(engine, app) is None


def test_a_cookie_set_by_a_response_is_listed(engine, app):
    request = engine.request("GET", app.url("/set-cookie?name=seen&value=1"))
    request.start_stream()
    request.read_body()
    assert engine.cookies() == [("seen", "1", HOST, "/", False, False, None, True)]


def test_the_callers_cookie_field_follows_the_jars(engine, app):
    engine.set_cookie("jar", "1", HOST)
    engine.set_cookie("both", "jar", HOST)
    assert sent_cookie(engine, app, headers=[("Cookie", "both=caller"), ("Cookie", "mine=2")]) \
        == "jar=1; both=caller; mine=2"


def test_with_the_callers_cookie_field_responses_still_fill_the_jar(engine, app):
    request = engine.request("GET", app.url("/set-cookie?name=seen&value=1"),
                             headers=[("Cookie", "mine=2")])
    request.start_stream()
    request.read_body()
    assert [c[:3] for c in engine.cookies()] == [("seen", "1", HOST)]
    assert sent_cookie(engine, app, headers=[("Cookie", "mine=2")]) == "seen=1; mine=2"


def test_handshakes_send_the_callers_value_of_a_name_alone(engine, ws_server):
    engine.set_cookie("jar", "1", HOST)
    engine.set_cookie("both", "jar", HOST)
    ws, _ = open_websocket(engine, ws_server.url("/hello"),
                           headers=[("Cookie", "both=caller"), ("Cookie", "mine=2")])
    kind, data, _, _ = ws.recv()
    seen = json.loads(bytes(data))["headers"]
    assert [v for k, v in seen if k.lower() == "cookie"] == ["jar=1; both=caller; mine=2"]
    ws.close(1000, "")


@pytest.mark.parametrize("filters,left", [
    ({}, []),
    ({"domain": "a.example"}, ["b"]),
    ({"domain": ".a.example"}, ["b"]),
    ({"path": "/x"}, ["a", "b"]),
    ({"name": "a2"}, ["a", "b"]),
    ({"domain": "a.example", "path": "/"}, ["a2", "b"]),
])
def test_delete_cookies_by_filter(engine, filters, left):
    engine.set_cookie("a", "1", "a.example")
    engine.set_cookie("a2", "1", "a.example", path="/x")
    engine.set_cookie("b", "1", "b.example")
    removed = engine.delete_cookies(**filters)
    assert sorted(c[0] for c in engine.cookies()) == left
    assert removed == 3 - len(left)


def test_cookie_attributes_round_trip(engine):
    expires = int(time.time()) + 3600
    engine.set_cookie("k", "v", ".Example.COM", path="/p", secure=True, http_only=True,
                      expires=expires)
    assert engine.cookies() == [("k", "v", "example.com", "/p", True, True, expires, False)]


def test_namespace_persists_cookies_set_by_the_caller(native, namespace, state):
    expires = int(time.time()) + 3600
    engine = native.PyEngine(impersonate="chrome", profile_namespace=namespace)
    engine.set_cookie("kept", "1", HOST, expires=expires)
    engine.set_cookie("session", "1", HOST)
    engine.set_cookie("gone", "1", HOST, expires=expires)
    assert engine.delete_cookies(name="gone") == 1
    # Another process opening the namespace reads what was stored.
    script = (
        "import sys, strandel_native36 as n\n"
        f"e = n.PyEngine(impersonate='chrome', profile_namespace={namespace!r})\n"
        "print(sorted(c[0] for c in e.cookies()))\n"
    )
    env = dict(os.environ, XDG_STATE_HOME=str(state))
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['kept']"


@pytest.mark.parametrize("args,kwargs,reason", [
    (("", "v", HOST), {}, "empty name"),
    (("a;b", "v", HOST), {}, "name contains ';'"),
    (("a=b", "v", HOST), {}, "name contains '='"),
    (("a", "v;w", HOST), {}, "value contains ';'"),
    (("a", "v\n", HOST), {}, "value contains a control character"),
    (("a", "v", ""), {}, "empty domain"),
    (("a", "v", HOST), {"path": "x"}, "path does not begin with '/'"),
])
def test_refused_cookies(engine, args, kwargs, reason):
    with pytest.raises(ValueError) as refused:
        engine.set_cookie(*args, **kwargs)
    assert str(refused.value) == f"cookie refused: {reason}"
    assert engine.cookies() == []


# ---- cache state -------------------------------------------------------------------

def test_cache_state_tells_network_cache_and_revalidated(engine, origin):
    path = origin.new_path()
    tag = ("ETag", '"v1"')
    origin.script(path, Resp(headers=[("Cache-Control", "max-age=3600"), tag]),
                  Resp(status=304, headers=[("Cache-Control", "max-age=3600"), tag]))
    states = []
    for cache in (None, None, "validate"):
        request = engine.request("GET", origin.url(path), cache=cache)
        response = request.start_stream()
        request.read_body()
        states.append((response.cache_state(), request.cache_state()))
    assert states == [("network", "network"), ("cache", "cache"),
                      ("revalidated", "revalidated")]
    assert origin.count(path) == 2


def test_cache_state_of_a_request_before_its_head_is_none(engine, origin):
    path = origin.new_path()
    origin.script(path, Resp())
    request = engine.request("GET", origin.url(path))
    assert request.cache_state() is None
    request.start_stream()
    request.read_body()
    assert request.cache_state() == "network"


# ---- WebSocket ping and message size -----------------------------------------------------

def frame(sock):
    """One unmasked view of a client frame: (opcode, payload)."""
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("the client went")
            data += chunk
        return data
    first, second = exactly(2)
    length = second & 0x7F
    if length == 126:
        length = struct.unpack("!H", exactly(2))[0]
    elif length == 127:
        length = struct.unpack("!Q", exactly(8))[0]
    mask = exactly(4)
    payload = bytes(b ^ mask[i % 4] for i, b in enumerate(exactly(length)))
    return first & 0x0F, payload


def server_frame(opcode, payload):
    """An unmasked final frame, as a server sends it."""
    if len(payload) < 126:
        return bytes([0x80 | opcode, len(payload)]) + payload
    return bytes([0x80 | opcode, 126]) + struct.pack("!H", len(payload)) + payload


def ping_reporter(sock, head, rest):
    """Answers each ping with its pong, then tells in a text message what
    the ping carried."""
    ws_servers.switch(sock, head)
    try:
        while True:
            opcode, payload = frame(sock)
            if opcode == 0x9:
                sock.sendall(server_frame(0xA, payload) + server_frame(0x1, b"ping:" + payload))
            elif opcode == 0x8:
                sock.sendall(server_frame(0x8, payload[:2]))
                return
    except (ConnectionError, OSError):
        pass


@pytest.fixture
def pinged():
    server = servers.ScriptedServer({"/ping": ping_reporter})
    yield server
    server.stop()


@pytest.mark.parametrize("payload", [b"", b"abc", bytes(range(125))])
def test_ping_reaches_the_peer_and_its_pong_is_no_event(engine, pinged, payload):
    ws, _ = open_websocket(engine, f"ws://{HOST}:{pinged.port}/ping")
    ws.ping(payload)
    kind, data, _, _ = ws.recv()
    assert (kind, bytes(data)) == ("text", b"ping:" + payload)
    ws.close(1000, "")
    assert events_until_end(ws)[-1][0] == "closed"


def test_ping_over_125_bytes_is_refused(engine, pinged):
    ws, _ = open_websocket(engine, f"ws://{HOST}:{pinged.port}/ping")
    with pytest.raises(ValueError, match="^ping payload must be at most 125 bytes$"):
        ws.ping(bytes(126))
    ws.close(1000, "")


MIB = 1024 * 1024


@pytest.mark.parametrize("size,limit,delivered", [
    (5 * MIB, 8 * MIB, True),     # past the old 4 MiB queue, under the limit: whole
    (8 * MIB, 8 * MIB, True),
    (8 * MIB + 1, 8 * MIB, False),
    (1001, 1000, False),
])
def test_max_message_size(engine, ws_server, size, limit, delivered):
    path = f"/big?size={size}&limit={limit}"
    ws, _ = open_websocket(engine, ws_server.url(path), max_message_size=limit)
    if delivered:
        kind, data, _, _ = ws.recv()
        assert (kind, len(data)) == ("binary", size)
        ws.close(1000, "")
        assert events_until_end(ws)[-1][0] == "closed"
    else:
        assert events_until_end(ws) == \
            [("error", b"", None, "Protocol (Chromium net error -142, response 0)")]
        assert ws_server.wait_closed(path)[0] == 1009
