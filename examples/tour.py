"""A tour of the strandel package against local servers that it starts
itself: an HTTPS server speaking HTTP/2 and HTTP/3 under a certificate made for the run
(trusted through `verify` / `ca_pem`) and a WebSocket echo server.

    python examples/tour.py          # the tour
    python examples/tour.py URL      # fetch URL instead and show what came back

Needs the packages hypercorn, aioquic, trustme and websockets for the tour."""

import asyncio
import hashlib
import os
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parent))

import strandel  # noqa: E402
import strandel_native36  # noqa: E402  (only for the Core's version)

WIDTH = 72
USER_AGENT = "strandel-tour/1.0"


def title(number, text):
    print(f"\n{number}. {text}\n" + "-" * WIDTH)


def short(text, limit=WIDTH - 12):
    text = text.strip()
    return text if len(text) <= limit else text[: limit - 3] + "..."


def path_of(url):
    return urlsplit(url).path


def check(condition, message):
    if not condition:
        raise RuntimeError(message)


# ---- the steps -------------------------------------------------------------------
# Each step gets the tour's blocking client (trusting the run's CA through
# verify=<path>) and the servers; steps that need other engine options make a
# client of their own.


def get_with_headers(client, servers):
    title(1, "A GET, with the response headers")
    url = servers.url("/hello")
    print(f'   client = strandel.Client(verify="{servers.ca_file.name}", '
          f'user_agent="{USER_AGENT}")')
    print(f'   client.get("{url}", headers={{"X-Tour": "step-1"}})')
    r = client.get(url, headers={"X-Tour": "step-1"})
    print(f"   {r.http_version} {r.status_code} {r.reason_phrase}")
    for name, value in r.headers.multi_items():
        print(f"   {name}: {value}")
    print(f"   r.text: {r.text.strip()}")
    r.raise_for_status()


def streamed_upload(client, servers):
    title(2, "A streamed upload from a generator")
    pieces, size = 32, 256 * 1024
    url = servers.url("/upload")
    digest = hashlib.sha256()

    def produce():  # pieces are made as the engine takes them, never all at once
        for i in range(pieces):
            piece = bytes([i % 256]) * size
            digest.update(piece)
            yield piece

    print(f'   client.put("{url}", content=produce())   '
          f"{pieces} pieces of {size // 1024} KiB")
    echoed = client.put(url, content=produce()).raise_for_status().json()
    same = echoed["sha256"] == digest.hexdigest()
    print(f"   the server read {echoed['length']:,} bytes over HTTP/{echoed['http_version']}; "
          f"SHA-256 {'matches' if same else 'DIFFERS'}")
    check(same and echoed["length"] == pieces * size, "the upload did not arrive intact")


def redirects(client, servers):
    title(3, "A redirect chain")
    url = servers.url("/hop/3")
    print(f'   client.get("{url}")')
    r = client.get(url)
    for hop in r.history:
        print(f"   {hop.status_code} {path_of(hop.url)} -> {hop.method} {path_of(hop.target)}")
    print(f"   {r.status_code} {path_of(str(r.url))} after {len(r.history)} redirects: "
          f"{short(r.text, 48)}")
    check(r.status_code == 200 and len(r.history) == 4,
          f"expected 200 after 4 redirects, got {r.status_code} after {len(r.history)}")
    print(f'   client.get("{url}", follow_redirects=False)')
    r = client.get(url, follow_redirects=False)
    print(f"   {r.status_code}, is_redirect={r.is_redirect}, "
          f"location: {r.headers.get('location')}")
    check(r.status_code == 302 and r.headers.get("location") == "/hop/2",
          "expected to stop at the first redirect")


def concurrent_requests(client, servers):
    title(4, "Concurrent requests on asyncio")
    count, pause = 20, 0.5
    print(f"   {count} AsyncClient.get calls at once (asyncio.gather); the server answers "
          f"each after {pause} s")

    async def all_at_once():
        async with strandel.AsyncClient(ca_pem=servers.ca_pem, user_agent=USER_AGENT,
                                        timeout=30) as aclient:
            urls = [servers.url(f"/slow/{i}?{pause}") for i in range(count)]
            return await asyncio.gather(*(aclient.get(url) for url in urls))

    started = time.monotonic()
    responses = asyncio.run(all_at_once())
    elapsed = time.monotonic() - started
    ok = sum(1 for r in responses if r.status_code == 200)
    items = sorted(int(r.json()["item"]) for r in responses)
    print(f"   {ok} of {count} answered 200 over {responses[0].http_version} in "
          f"{elapsed:.2f} s (one after another: {count * pause:.0f} s)")
    check(ok == count and items == list(range(count)),
          f"only {ok} of {count} requests succeeded")


def cached_response(client, servers):
    title(5, "A response from the HTTP cache")
    url = servers.url("/cached")
    print(f'   client.get("{url}"), twice')
    print("   (the server sends Cache-Control: max-age=60)")
    first, second = client.get(url), client.get(url)
    for label, r in (("first: ", first), ("second:", second)):
        age = f"Age: {r.headers['age']}" if "age" in r.headers else "no Age header"
        print(f"   {label} {r.status_code}, {age:<14} {r.text.strip()}")
    seen = servers.requests_seen("/cached")
    print(f"   the server saw {seen} request{'s' if seen != 1 else ''} for /cached")
    check(seen == 1 and "age" in second.headers and second.text == first.text,
          "the second answer did not come from the cache")


def browser_profile(client, servers):
    title(6, "A browser profile")
    url = servers.url("/headers")
    print(f'   strandel.Client(impersonate="chrome_152").get("{url}")')
    with strandel.Client(impersonate="chrome_152", ca_pem=servers.ca_pem,
                         timeout=10) as chrome:
        received = chrome.get(url).raise_for_status().json()
    headers = dict(received["headers"])
    print(f"   the server received over HTTP/{received['http_version']}:")
    for name in ("user-agent", "sec-ch-ua", "sec-ch-ua-platform"):
        print(f"   {name}: {headers.get(name, '(none)')}")
    check("Chrome/152" in headers.get("user-agent", "")
          and 'v="152"' in headers.get("sec-ch-ua", ""),
          "the request did not look like Chrome 152's")


def websocket_echo(client, servers):
    title(7, "A WebSocket echo")
    print(f'   with client.websocket("{servers.ws_url}") as ws:')
    with client.websocket(servers.ws_url) as ws:
        ws.send_text("hello, echo")
        print(f"   send_text('hello, echo')     -> {ws.receive()}")
        payload = bytes(range(8))
        ws.send_bytes(payload)
        echoed = ws.receive_bytes()
        print(f"   send_bytes({payload.hex()}) -> receive_bytes() {echoed.hex()}")
        check(echoed == payload, "the echo differs")
        closed = ws.close(1000, "tour done")
        print(f"   close(1000, 'tour done')     -> {closed}")
    check(closed.code == 1000, f"the WebSocket did not close cleanly: {closed}")


def http3(client, servers):
    title(8, "HTTP/3")
    url = servers.url("/headers")
    print("   the server answers over QUIC too, and says so in its alt-svc header")
    print(f'   strandel.Client().get("{url}"), twice')
    with strandel.Client(ca_pem=servers.ca_pem, timeout=10) as auto:
        first, second = auto.get(url), auto.get(url)
    print(f"   first:  {first.http_version}, alt-svc: {first.headers.get('alt-svc')}")
    print(f"   second: {second.http_version} (the client remembered the alternative)")
    print(f'   strandel.Client(http_version="h3").get("{url}")')
    with strandel.Client(ca_pem=servers.ca_pem, http_version="h3", timeout=10) as h3:
        received = h3.get(url).raise_for_status().json()
    print(f"   the server received it over HTTP/{received['http_version']}")
    check(first.http_version == "HTTP/2" and second.http_version == "HTTP/3"
          and received["http_version"] == "3", "HTTP/3 was not used")


def command_line(client, servers):
    title(9, "The command line")
    url = servers.url("/hello")
    # The child finds this run's package and native module first.
    paths = [str(Path(strandel.__file__).resolve().parents[1]),
             str(Path(strandel_native36.__file__).resolve().parent), os.environ.get("PYTHONPATH")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    runs = [(["-i", "-A", USER_AGENT, "-H", "X-Tour: step-9", "--cacert", "ca.pem", url], 0),
            ([url], 35)]  # the run's CA is not among the system's
    for argv, expected in runs:
        shown = " ".join(f"'{a}'" if " " in a else a for a in argv)
        print(f"   $ python -m strandel {shown}")
        argv = [str(servers.ca_file) if a == "ca.pem" else a for a in argv]
        done = subprocess.run([sys.executable, "-m", "strandel", *argv], env=env,
                              capture_output=True, timeout=60)
        for line in (done.stdout + done.stderr).decode("utf-8", "replace").splitlines():
            print(f"   {line}" if line else "")
        print(f"   (exit status {done.returncode})")
        check(done.returncode == expected,
              f"expected exit status {expected}, got {done.returncode}")


STEPS = [get_with_headers, streamed_upload, redirects, concurrent_requests, cached_response,
         browser_profile, websocket_echo, http3, command_line]


def run_steps(servers):
    """The clients live only in here: releasing their engines closes the
    kept-alive connections, which lets the servers stop at once."""
    failed = 0
    with strandel.Client(verify=servers.ca_file, user_agent=USER_AGENT, timeout=60) as client:
        for step in STEPS:
            try:
                step(client, servers)
            except Exception as error:  # one failed step does not end the tour
                failed += 1
                print(f"   FAILED: {type(error).__name__}: {error}")
    return failed


def tour():
    """Runs every step against local servers; returns the number that failed."""
    from tour_server import LocalServers

    print(f"strandel {strandel.__version__} on {strandel_native36.PyEngine.core_version()}")
    with LocalServers() as servers:
        print(f"local HTTPS server: {servers.url('/')}  (HTTP/2 and HTTP/3, certificate from "
              "a CA made for this run)")
        print(f"local WebSocket echo server: {servers.ws_url}")
        failed = run_steps(servers)
    print("\n" + ("Every step worked." if not failed else f"{failed} step(s) failed."))
    return failed


def fetch_url(url):
    """GET url with the system's trust store; shows the redirects, the
    response head and the start of the body. Returns 0 on a response."""
    print(f"GET {url}")
    try:
        with strandel.Client(user_agent=USER_AGENT, timeout=30) as client:
            r = client.get(url)
    except strandel.HTTPError as error:
        print(f"   failed: {error}")
        return 1
    for hop in r.history:
        print(f"   {hop.status_code} -> {hop.method} {hop.target}")
    print(f"   {r.http_version} {r.status_code} {r.reason_phrase}")
    for name, value in r.headers.multi_items():
        print(f"   {name}: {value}")
    print(f"   body: {len(r.content):,} bytes")
    for line in r.content[:400].decode("utf-8", "replace").splitlines()[:8]:
        print(f"   | {short(line)}")
    return 0


def main(argv):
    if len(argv) > 1:
        return fetch_url(argv[1])
    return 1 if tour() else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
