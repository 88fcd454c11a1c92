"""A slow origin for the stale-while-revalidate rows: an HTTP/1.1 server on
127.0.0.1 whose resources are stale as soon as they are stored, and allowed
to be served stale while they are revalidated.

Run: python swr_server.py PORT DELAY_MS

Every path under /swr/ (one per measuring process, so that counts never mix)
answers after DELAY_MS milliseconds, a revalidation included, with 1 KiB,
`Cache-Control: max-age=1, stale-while-revalidate=3600`, an `ETag` and a
`Date` 100 s in the past: a cache that stores the response holds an entry
already 100 s old, stale at once but within its stale-while-revalidate window,
and a 304 that refreshes it leaves it just as old. A request whose
If-None-Match names the ETag gets a 304. No response carries `Age`, so an
`Age` field in a client's answer comes from its cache.

GET /count/swr/NAME answers at once, `no-store`, with the requests that
/swr/NAME has received so far, counted as they arrive:
{"requests": n, "conditional": m}.

SwrOrigin starts it in a process of its own, for run.py."""

import email.utils
import json
import os
import sys
import threading
import time
from collections import Counter
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

HERE = Path(__file__).resolve().parent

HOST = "127.0.0.1"
ETAG = '"swr-1"'
BODY = os.urandom(1024)
# How old each response says it is (through its Date): far beyond max-age=1,
# far within stale-while-revalidate=3600.
AGE = 100

counts = Counter()
lock = threading.Lock()


def old_date():
    return email.utils.formatdate(time.time() - AGE, usegmt=True)


def etag_matches(header):
    if header is None:
        return False
    tags = [tag.strip() for tag in header.split(",")]
    return "*" in tags or ETAG in tags or f"W/{ETAG}" in tags


class Origin(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as a real origin
    # The head and the body go out in two writes: with Nagle's algorithm the
    # body would wait for the client's delayed ACK of the head (40 ms).
    disable_nagle_algorithm = True
    delay = 0.2

    def do_GET(self):
        if self.path.startswith("/count/"):
            name = self.path[len("/count"):]
            with lock:
                answer = {"requests": counts[name], "conditional": counts[name, "conditional"]}
            self.reply(200, [("Cache-Control", "no-store"),
                             ("Content-Type", "application/json")],
                       json.dumps(answer).encode())
            return
        if not self.path.startswith("/swr/"):
            self.reply(404, [("Cache-Control", "no-store")], b"")
            return
        conditional = etag_matches(self.headers.get("If-None-Match"))
        with lock:
            counts[self.path] += 1
            counts[self.path, "conditional"] += conditional
        time.sleep(self.delay)
        headers = [("Date", old_date()), ("ETag", ETAG),
                   ("Cache-Control", "max-age=1, stale-while-revalidate=3600")]
        if conditional:
            self.reply(304, headers, None)
        else:
            self.reply(200, headers + [("Content-Type", "application/octet-stream")], BODY)

    def reply(self, status, headers, body):
        # send_response_only: send_response would add a Date of now.
        self.send_response_only(status)
        for name, value in headers:
            self.send_header(name, value)
        if body is not None:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass


class SwrOrigin:
    """This origin in a process of its own, started with the helpers of the
    network tests (as bench_servers.py's servers), every answer after
    `delay_ms`."""

    def __init__(self, workdir, delay_ms):
        import bench_servers  # puts the network tests' helpers on sys.path
        from servers import Process, free_port

        self.port = free_port()
        self.process = Process(
            [sys.executable, str(HERE / "swr_server.py"), str(self.port), str(delay_ms)],
            [self.port], Path(workdir) / "swr_server.out",
            timeout=bench_servers.START_TIMEOUT)

    @property
    def url(self):
        return f"http://{HOST}:{self.port}"

    def stop(self):
        self.process.stop()


def main(port, delay_ms):
    Origin.delay = delay_ms / 1000
    server = ThreadingHTTPServer((HOST, port), Origin)
    server.daemon_threads = True
    # Runs until SIGTERM ends the process.
    server.serve_forever()


if __name__ == "__main__":
    main(int(sys.argv[1]), float(sys.argv[2]))
