"""The local servers of the tour, started in a background thread: an HTTPS
server with HTTP/2 and HTTP/3 (hypercorn with a small ASGI app, aioquic for
QUIC) under a certificate made
for the run, and a WebSocket echo server (the `websockets` package).
Everything listens on 127.0.0.1 only."""

import asyncio
import collections
import hashlib
import json
import socket
import tempfile
import threading
from pathlib import Path

HOST = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


# ---- the HTTP application ------------------------------------------------------


async def read_body(receive):
    """Reads the request body piece by piece: its length and SHA-256."""
    digest, length = hashlib.sha256(), 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            break
        digest.update(message.get("body", b""))
        length += len(message.get("body", b""))
        if not message.get("more_body", False):
            break
    return length, digest.hexdigest()


async def respond(send, status, body=b"", headers=()):
    await send({"type": "http.response.start", "status": status,
                "headers": [(k.encode(), v.encode()) for k, v in headers]})
    await send({"type": "http.response.body", "body": body})


class TourApp:
    """The ASGI application. It counts the requests for each path, so that
    the tour can tell what its client answered from its cache."""

    def __init__(self):
        self.counts = collections.Counter()

    async def __call__(self, scope, receive, send):
        if scope["type"] == "lifespan":
            while (await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
            return
        path = scope["path"]
        self.counts[path] += 1
        received = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in scope["headers"]]
        seen = dict(received)
        if path == "/hello":
            text = (f"Hello over HTTP/{scope['http_version']}. You are "
                    f"{seen.get('user-agent', 'anonymous')}, and you sent "
                    f"x-tour: {seen.get('x-tour', '(nothing)')}.\n")
            await respond(send, 200, text.encode(),
                          [("content-type", "text/plain; charset=utf-8"),
                           ("cache-control", "no-store"), ("x-served-by", "tour-server")])
        elif path == "/upload":
            length, digest = await read_body(receive)
            body = json.dumps({"length": length, "sha256": digest,
                               "http_version": scope["http_version"]}).encode()
            await respond(send, 200, body, [("content-type", "application/json")])
        elif path.startswith("/hop/"):
            # /hop/N redirects to /hop/N-1; /hop/0 to the landing page.
            left = int(path.rsplit("/", 1)[1])
            target = "/landed" if left == 0 else f"/hop/{left - 1}"
            await respond(send, 302 if left % 2 else 307, headers=[("location", target)])
        elif path == "/landed":
            await respond(send, 200, b"You made it to the end of the redirect chain.\n",
                          [("content-type", "text/plain")])
        elif path.startswith("/slow/"):
            # Answers after a pause, so that concurrency shows.
            await asyncio.sleep(float(scope["query_string"].decode() or "0.2"))
            await respond(send, 200, json.dumps({"item": path.rsplit("/", 1)[1]}).encode(),
                          [("content-type", "application/json")])
        elif path == "/cached":
            # Fresh for a minute: a client with a cache asks only once.
            text = f"This is answer number {self.counts[path]} of the server.\n"
            await respond(send, 200, text.encode(), [("content-type", "text/plain"),
                                                     ("cache-control", "max-age=60")])
        elif path == "/headers":
            # The request headers as they arrived, in order.
            body = json.dumps({"http_version": scope["http_version"],
                               "headers": received}).encode()
            await respond(send, 200, body, [("content-type", "application/json"),
                                            ("cache-control", "no-store")])
        else:
            await respond(send, 404, b"not here\n")


async def echo(connection):
    async for message in connection:
        await connection.send(message)


# ---- running both in a thread of their own ---------------------------------------


class LocalServers:
    """Context manager: starts the servers, gives their URLs and the CA that
    signed the HTTPS certificate (as `ca_pem` bytes and as the file
    `ca_file`), and stops them on exit."""

    def __init__(self):
        self.app = TourApp()
        self._ready = threading.Event()
        self._error = None
        self._loop = None
        self._stop = None
        self._thread = None
        self._dir = None

    def __enter__(self):
        import trustme

        self._dir = tempfile.TemporaryDirectory(prefix="strandel-tour-")
        ca = trustme.CA()
        cert = ca.issue_cert(HOST, "localhost")
        key_path, cert_path = Path(self._dir.name) / "key.pem", Path(self._dir.name) / "cert.pem"
        cert.private_key_pem.write_to_path(str(key_path))
        cert.cert_chain_pems[0].write_to_path(str(cert_path))
        self.ca_pem = ca.cert_pem.bytes()
        self.ca_file = Path(self._dir.name) / "ca.pem"
        ca.cert_pem.write_to_path(str(self.ca_file))
        self.https_port = free_port()
        self._thread = threading.Thread(target=self._run, args=(cert_path, key_path),
                                        name="tour-servers", daemon=True)
        self._thread.start()
        self._ready.wait(30)
        if self._error is not None or not self._ready.is_set():
            self.__exit__(None, None, None)
            raise RuntimeError(f"the local servers did not start: {self._error}")
        return self

    def __exit__(self, *exc):
        # The HTTPS server shuts down gracefully: it waits for its clients'
        # connections to close, so release the engines that used it first. A
        # server still waiting after a few seconds is left to its daemon thread.
        if self._loop is not None and self._stop is not None:
            self._loop.call_soon_threadsafe(self._stop.set)
        if self._thread is not None:
            self._thread.join(5)
        if self._dir is not None:
            self._dir.cleanup()

    def url(self, path):
        return f"https://{HOST}:{self.https_port}{path}"

    def requests_seen(self, path):
        """How many requests for `path` reached the HTTPS server."""
        return self.app.counts[path]

    @property
    def ws_url(self):
        return f"ws://{HOST}:{self.ws_port}/"

    def _run(self, cert_path, key_path):
        try:
            asyncio.run(self._serve(cert_path, key_path))
        except BaseException as error:  # reported to the starting thread
            self._error = error
            self._ready.set()

    async def _serve(self, cert_path, key_path):
        from hypercorn.asyncio import serve as serve_http
        from hypercorn.config import Config
        from websockets.asyncio.server import serve as serve_ws

        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        config = Config()
        config.bind = [f"{HOST}:{self.https_port}"]
        # HTTP/3 too, on the UDP port of the same number; the server says so
        # in Alt-Svc.
        config.quic_bind = [f"{HOST}:{self.https_port}"]
        config.certfile, config.keyfile = str(cert_path), str(key_path)
        config.loglevel = "WARNING"
        config.accesslog = None
        http = asyncio.ensure_future(serve_http(self.app, config,
                                                shutdown_trigger=self._stop.wait))
        async with serve_ws(echo, HOST, 0) as ws_server:
            self.ws_port = ws_server.sockets[0].getsockname()[1]
            await wait_for_port(self.https_port, http)
            self._ready.set()
            await self._stop.wait()
        await http


async def wait_for_port(port, server_task, timeout=20.0):
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while loop.time() < deadline:
        if server_task.done():
            server_task.result()  # raises what stopped it
            raise RuntimeError("the HTTPS server stopped")
        try:
            _, writer = await asyncio.open_connection(HOST, port)
            writer.close()
            return
        except OSError:
            await asyncio.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")
