"""A tour of strandel_native36 against local servers that it starts itself:
an HTTPS server speaking HTTP/2 under a certificate made for the run (trusted
through `ca_pem`) and a WebSocket echo server.

    python examples/tour.py          # the tour
    python examples/tour.py URL      # fetch URL instead and show what came back

Needs the packages hypercorn, trustme and websockets for the tour."""

import asyncio
import hashlib
import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import strandel_native36 as native  # noqa: E402
from asyncio_fetch import fetch  # noqa: E402

WIDTH = 72


def title(number, text):
    print(f"\n{number}. {text}\n" + "-" * WIDTH)


def show_head(headers, indent="   "):
    """Prints a raw header block (status line and header lines) indented."""
    for line in bytes(headers).decode("latin-1").split("\r\n"):
        if line:
            print(f"{indent}{line}")


def short(text, limit=WIDTH - 12):
    text = text.strip()
    return text if len(text) <= limit else text[: limit - 3] + "..."


# ---- the steps -------------------------------------------------------------------


def get_with_headers(engine, servers):
    title(1, "A GET, with the response headers")
    url = servers.url("/hello")
    print(f"   GET {url}   (sending X-Tour: step-1)")
    request = engine.request("GET", url, headers=[("X-Tour", "step-1")], timeout=10)
    response = request.start_stream()
    show_head(response.headers)
    body = bytes(request.read_body()).decode()
    print(f"   body: {body.strip()}")
    if response.status_code != 200:
        raise RuntimeError(f"expected 200, got {response.status_code}")


def streamed_upload(engine, servers):
    title(2, "A streamed upload")
    pieces, size = 32, 256 * 1024
    url = servers.url("/upload")
    print(f"   PUT {url}   chunked=True, {pieces} pieces of {size // 1024} KiB "
          "through upload_write")
    request = engine.request("PUT", url, chunked=True, timeout=60)
    request.start()
    digest = hashlib.sha256()
    for i in range(pieces):
        piece = bytes([i % 256]) * size
        digest.update(piece)
        request.upload_write(piece, i == pieces - 1)  # the last piece ends the body
    response = request.await_response()
    echoed = json.loads(bytes(request.read_body()))
    same = echoed["sha256"] == digest.hexdigest()
    print(f"   the server read {echoed['length']:,} bytes over HTTP/{echoed['http_version']}; "
          f"SHA-256 {'matches' if same else 'DIFFERS'}")
    if response.status_code != 200 or not same or echoed["length"] != pieces * size:
        raise RuntimeError("the upload did not arrive intact")


def manual_redirects(engine, servers):
    title(3, "A redirect chain, followed by hand")
    url = servers.url("/hop/3")
    print(f"   GET {url}   redirect=\"manual\"")
    request = engine.request("GET", url, redirect="manual", timeout=10)
    request.start()
    hops = 0
    while True:
        redirect, head = request.wait_manual(10)
        if redirect is not None:
            status, _headers, target, method = redirect
            hops += 1
            print(f"   {status} -> {method} {target}   follow_redirect()")
            request.follow_redirect()
        elif head is not None:
            break
        else:
            raise RuntimeError("neither a redirect nor a response within 10 s")
    status, _headers = head
    body = bytes(request.read_body()).decode()
    print(f"   {status} after {hops} redirects: {short(body)}")
    if status != 200 or hops != 4:
        raise RuntimeError(f"expected 200 after 4 redirects, got {status} after {hops}")


def concurrent_requests(engine, servers):
    title(4, "Concurrent requests on asyncio")
    count, pause = 20, 0.5
    print(f"   {count} GETs at once through start_async and poll_events; the server "
          f"answers each after {pause} s")

    async def all_at_once():
        urls = [servers.url(f"/slow/{i}?{pause}") for i in range(count)]
        return await asyncio.gather(*(fetch(engine, url, timeout=30) for url in urls))

    started = time.monotonic()
    responses = asyncio.run(all_at_once())
    elapsed = time.monotonic() - started
    ok = sum(1 for r in responses if r.status == 200)
    protocol = bytes(responses[0].headers).split(b" ", 1)[0].decode()
    print(f"   {ok} of {count} answered 200 over {protocol} in {elapsed:.2f} s "
          f"(one after another: {count * pause:.0f} s)")
    if ok != count:
        raise RuntimeError(f"only {ok} of {count} requests succeeded")


def websocket_echo(engine, servers):
    title(5, "A WebSocket echo")
    print(f"   {servers.ws_url}")
    socket = engine.websocket(servers.ws_url, timeout=10)
    socket.connect()
    try:
        event = socket.recv()
        if event is None or event[0] != "open":
            raise RuntimeError(f"the WebSocket did not open: {event}")
        print("   open")
        socket.send_text("hello, echo")
        kind, data, _code, _text = socket.recv()
        print(f"   sent text 'hello, echo'      -> {kind} {bytes(data).decode()!r}")
        payload = bytes(range(8))
        socket.send_bytes(payload)
        kind, data, _code, _text = socket.recv()
        print(f"   sent bytes {payload.hex()} -> {kind} {bytes(data).hex()}")
        if bytes(data) != payload:
            raise RuntimeError("the echo differs")
        socket.close(1000, "tour done")
        while (event := socket.recv()) is not None:
            kind, _data, code, text = event
            if kind == "closed":
                print(f"   closed with {code} {text!r}")
            elif kind == "error":
                raise RuntimeError(text)
    except Exception:
        try:
            socket.cancel()  # ends the connection at once
        except RuntimeError:
            pass
        raise


STEPS = [get_with_headers, streamed_upload, manual_redirects, concurrent_requests,
         websocket_echo]


def run_steps(servers):
    """The engine lives only in here: releasing it closes its kept-alive
    connections, which lets the servers stop at once."""
    engine = native.PyEngine(ca_pem=servers.ca_pem, user_agent="strandel-tour/1.0")
    failed = 0
    for step in STEPS:
        try:
            step(engine, servers)
        except Exception as error:  # one failed step does not end the tour
            failed += 1
            print(f"   FAILED: {error}")
    return failed


def tour():
    """Runs every step against local servers; returns the number that failed."""
    from tour_server import LocalServers

    print(f"strandel_native36 with {native.PyEngine.core_version()}")
    with LocalServers() as servers:
        print(f"local HTTPS server: {servers.url('/')}  (certificate from a CA made for "
              "this run)")
        print(f"local WebSocket echo server: {servers.ws_url}")
        failed = run_steps(servers)
    print("\n" + ("Every step worked." if not failed else f"{failed} step(s) failed."))
    return failed


def fetch_url(url):
    """GET url with the system's trust store; shows the redirects, the
    response head and the start of the body. Returns 0 on a response."""
    engine = native.PyEngine(user_agent="strandel-tour/1.0")
    print(f"GET {url}")
    request = engine.request("GET", url, timeout=30)
    try:
        response = request.start_stream()
        body = bytes(request.read_body())
    except RuntimeError as error:
        print(f"   failed: {error}")
        return 1
    for status, _headers, target, method in request.take_redirects():
        print(f"   {status} -> {method} {target}")
    show_head(response.headers)
    print(f"   body: {len(body):,} bytes")
    if body:
        text = body[:400].decode("utf-8", "replace")
        for line in text.splitlines()[:8]:
            print(f"   | {short(line)}")
    return 0


def main(argv):
    if len(argv) > 1:
        return fetch_url(argv[1])
    return 1 if tour() else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
