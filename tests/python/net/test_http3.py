"""HTTP/3: engines that speak it alone, and Auto engines that reach an origin
over QUIC once it advertised HTTP/3, falling back to TCP when QUIC does not
answer."""

import asyncio
import gc
import hashlib
import json
import os
import sqlite3
import threading
import time

import pytest

import asgi_app
import servers

MIB = 1024 * 1024
H1, H2, H3 = b"HTTP/1.1", b"HTTP/2", b"HTTP/3"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fetch(engine, url, method="GET", **kwargs):
    request = engine.request(method, url, **kwargs)
    response = request.start_stream()
    return response, bytes(request.read_body())


def version(response):
    assert response.status_code == 200
    return response.headers.split(b" ", 1)[0]


def versions(engine, url, count):
    return [version(fetch(engine, url)[0]) for _ in range(count)]


@pytest.fixture
def h3_engine(native, ca_pem):
    return native.PyEngine(ca_pem=ca_pem, http_version="h3")


def test_h3_engine_fetches_over_quic(h3_engine, h3app):
    response, body = fetch(h3_engine, h3app.url("/echo?a=1", tls=True), headers=[("X-A", "1")])
    assert response.status_code == 200
    assert response.headers.startswith(b"HTTP/3 200 \r\n")
    echoed = json.loads(body)
    assert echoed["http_version"] == "3"
    assert echoed["query"] == "a=1"
    assert ["x-a", "1"] in echoed["headers"]


@pytest.mark.parametrize("version,priority,field", [
    ("h3", "highest", "u=0"), ("h3", "idle", "u=4"), ("h3", "default", None),
    # HTTP/2 weighs its streams instead; Auto's race ends on HTTP/3 here.
    ("h2", "highest", None), ("auto", "highest", "u=0"),
])
def test_priority_rides_in_a_field_on_http3(native, ca_pem, h3app, version, priority, field):
    engine = native.PyEngine(ca_pem=ca_pem, http_version=None if version == "auto" else version)
    url = h3app.url("/echo", tls=True)
    fetch(engine, url)  # Auto learns the alternative
    _, body = fetch(engine, url, priority=priority)
    sent = [v for k, v in json.loads(body)["headers"] if k == "priority"]
    assert sent == ([field] if field else [])


def test_h3_engine_sends_clear_text_over_http1(h3_engine, h3app):
    # There is no HTTP/3 without TLS.
    response, body = fetch(h3_engine, h3app.url("/echo"))
    assert version(response) == H1
    assert json.loads(body)["http_version"] == "1.1"


@pytest.mark.parametrize("listener,message", [
    # TCP only: the UDP port is closed, which the kernel reports at once.
    ("closed", r"^Network \(Chromium net error -10[24]\)$"),
    # QUIC swallowed: the request's timeout ends it.
    ("silent", r"^Timeout \(Chromium net error -118\)$"),
])
def test_h3_engine_without_quic_fails_within_the_timeout(h3_engine, nginx, listener, message):
    port = nginx.ports["https"]
    hole = servers.UdpRelay(servers.free_udp_port(), None) if listener == "silent" else None
    if hole:
        hole.dropping = True
        port = hole.sock.getsockname()[1]
    try:
        with pytest.raises(RuntimeError, match=message):
            fetch(h3_engine, f"https://127.0.0.1:{port}/small.bin", timeout=1.0)
    finally:
        if hole:
            hole.stop()


def test_large_bodies_both_ways(h3_engine, h3app):
    # Down: 64 MiB, read slower than it arrives, with QUIC's flow control
    # holding the server back.
    blocks = 1024
    request = h3_engine.request("GET", h3app.url(f"/bytes?blocks={blocks}", tls=True))
    assert version(request.start_stream()) == H3
    expected, got = hashlib.sha256(), hashlib.sha256()
    for i in range(blocks):
        expected.update(asgi_app.block(i))
    received = chunks = 0
    start = peak = rss_bytes()
    while (chunk := request.next_body()) is not None:
        got.update(bytes(chunk))
        received += len(chunk)
        chunks += 1
        if chunks % 256 == 0:
            peak = max(peak, rss_bytes())
            time.sleep(0.5 if chunks == 256 else 0.02)  # slower than the network
    assert received == blocks * asgi_app.BLOCK
    assert got.hexdigest() == expected.hexdigest()
    if not os.environ.get("STRANDEL_SANITIZED"):  # quarantined frees count as resident
        assert peak - start < 32 * MIB, f"resident memory grew by {(peak - start) / MIB:.1f} MiB"

    # Up: a streamed body written as it goes, and one held whole.
    request = h3_engine.request("PUT", h3app.url("/echo", tls=True), chunked=True)
    request.start()
    sent = hashlib.sha256()
    for i in range(128):
        data = asgi_app.block(i) * 4
        sent.update(data)
        request.upload_write(data, False)
    request.upload_finish()
    assert version(request.await_response()) == H3
    echoed = json.loads(bytes(request.read_body()))
    assert (echoed["body_length"], echoed["body_sha256"]) == (32 * MIB, sent.hexdigest())

    body = os.urandom(8 * MIB)
    _, echoed = fetch(h3_engine, h3app.url("/echo", tls=True), "POST", body=body)
    assert json.loads(echoed)["body_sha256"] == hashlib.sha256(body).hexdigest()


def test_redirects_cache_and_cancel(h3_engine, h3app):
    response, body = fetch(h3_engine, h3app.url("/redirect?status=307&to=/echo", tls=True))
    assert version(response) == H3
    assert json.loads(body)["path"] == "/echo"

    first = fetch(h3_engine, h3app.url("/counted", tls=True))[1]
    assert fetch(h3_engine, h3app.url("/counted", tls=True))[1] == first  # from the cache

    request = h3_engine.request("GET", h3app.url("/stall", tls=True))
    assert version(request.start_stream()) == H3
    assert len(request.next_body()) == 1000
    request.cancel()
    with pytest.raises(RuntimeError, match=r"^Canceled"):
        while request.next_body() is not None:
            pass
    assert versions(h3_engine, h3app.url("/echo", tls=True), 1) == [H3]


def test_many_requests_from_threads_and_the_event_loop(h3_engine, h3app):
    url = h3app.url("/bytes?blocks=2", tls=True)
    expected = asgi_app.block(0) + asgi_app.block(1)
    results = []

    def worker():
        for _ in range(10):
            response, body = fetch(h3_engine, url)
            results.append((version(response), body == expected))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [(H3, True)] * 80

    async def one(loop):
        request = h3_engine.request("GET", url)
        done = loop.create_future()
        body = bytearray()

        def notify():
            for kind, _status, _headers, data, message in request.poll_events():
                if kind == "body":
                    body.extend(data)
                elif kind == "done" and not done.done():
                    done.set_result(bytes(body))
                elif kind == "error" and not done.done():
                    done.set_exception(RuntimeError(message))

        request.start_async(loop, notify)
        return await done

    async def main():
        loop = asyncio.get_running_loop()
        return await asyncio.gather(*(one(loop) for _ in range(100)))

    assert asyncio.run(main()) == [expected] * 100


# ---- Auto -------------------------------------------------------------------

def test_auto_switches_to_quic_once_advertised(native, ca_pem, h3app):
    engine = native.PyEngine(ca_pem=ca_pem)
    # The first answer comes over TCP and names the alternative.
    assert versions(engine, h3app.url("/echo", tls=True), 4) == [H2, H3, H3, H3]


@pytest.mark.parametrize("version,expected", [("h1", H1), ("h2", H2)])
def test_fixed_tcp_versions_never_use_quic(native, ca_pem, h3app, version, expected):
    engine = native.PyEngine(ca_pem=ca_pem, http_version=version)
    assert versions(engine, h3app.url("/echo", tls=True), 3) == [expected] * 3


@pytest.mark.parametrize("listener", ["closed", "silent"])
def test_auto_falls_back_to_tcp_and_leaves_quic_alone(native, ca_pem, app, listener):
    # The TCP-only app advertises HTTP/3 on its own port.
    engine = native.PyEngine(ca_pem=ca_pem)
    hole = servers.UdpRelay(app.tls_port, None) if listener == "silent" else None
    try:
        if hole:
            hole.dropping = True
        assert versions(engine, app.url("/advertise", tls=True), 2) == [H2, H2]
        if hole:
            tried = hole.sent_since({})
            assert tried  # QUIC was tried before TCP took over
            assert versions(engine, app.url("/advertise", tls=True), 2) == [H2, H2]
            # and not again for a while: no new QUIC connection (a late
            # close from the abandoned one may still come)
            assert hole.sent_since({}).keys() == tried.keys()
    finally:
        if hole:
            hole.stop()


def test_quic_that_stops_answering_falls_back_to_tcp(native, ca_pem, workdir, trust, namespace):
    # TCP on one port, QUIC behind a relay on the same port number: once QUIC
    # worked, the namespace's next engine goes to QUIC alone, and finds the
    # relay swallowing everything.
    server = servers.Hypercorn(workdir / "h3relay", trust[1]["good"],
                               quic_port=servers.free_udp_port())
    relay = servers.UdpRelay(server.tls_port, (servers.HOST, server.quic_port))
    try:
        # Named explicitly: over QUIC the app would name its own UDP port.
        url = server.url(f"/advertise?h3={server.tls_port}", tls=True)
        first = native.PyEngine(ca_pem=ca_pem, profile_namespace=namespace)
        assert versions(first, url, 2) == [H2, H3]
        relay.dropping = True
        before = relay.sent_since({})  # the first engine's connection
        second = native.PyEngine(ca_pem=ca_pem, profile_namespace=namespace)
        assert versions(second, url, 1) == [H2]
        tried = relay.sent_since(before)
        assert tried
        assert versions(second, url, 2) == [H2, H2]
        assert relay.sent_since(before).keys() == tried.keys()
    finally:
        relay.stop()
        server.stop()


def test_a_namespace_remembers_the_alternative(native, ca_pem, h3app, namespace, state):
    engine = native.PyEngine(ca_pem=ca_pem, profile_namespace=namespace)
    assert versions(engine, h3app.url("/echo", tls=True), 1) == [H2]
    del engine
    gc.collect()  # the namespace closes with its last engine
    database = next(state.rglob(f"{namespace}.sqlite3"))
    with sqlite3.connect(database) as db:
        origins = [row[0] for row in db.execute("SELECT origin FROM alt_services")]
    assert origins == [f"https://127.0.0.1:{h3app.tls_port}"]
    # The next engine, as a new process would, starts with it.
    engine = native.PyEngine(ca_pem=ca_pem, profile_namespace=namespace)
    assert versions(engine, h3app.url("/echo", tls=True), 1) == [H3]


@pytest.mark.parametrize("name", ["chrome", "edge", "firefox", "safari", "safari_ios"])
def test_a_profile_sends_its_browsers_fields_in_order_over_http3(native, ca_pem, h3app, name):
    # The same list as on HTTP/2 (test_impersonate's rows), on QUIC.
    from test_impersonate import PROFILES
    engine = native.PyEngine(ca_pem=ca_pem, http_version="h3", impersonate=name)
    _, body = fetch(engine, h3app.url("/echo", tls=True))
    echoed = json.loads(body)
    assert echoed["http_version"] == "3"
    # The server puts the authority first, as `host`.
    assert [tuple(h) for h in echoed["headers"] if h[0] != "host"] == PROFILES[name][0]
