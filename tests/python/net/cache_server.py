"""A scripted HTTP/1.1 origin on 127.0.0.1 for the cache tests.

Each test scripts the responses of its own paths (a query is part of the
path), in order: the n-th request to a path gets the n-th response, and the
last one repeats. Every request is
recorded before it is answered, so after a request has completed a test can
tell whether it was answered from the cache (no request arrived), fetched
(an unconditional request) or revalidated (a conditional one)."""

from __future__ import annotations

import dataclasses
import email.utils
import http
import itertools
import socket
import socketserver
import threading
import time
from dataclasses import dataclass, field

HOST = "127.0.0.1"
CONDITIONAL = ("if-none-match", "if-modified-since")


def http_date(offset: float = 0.0) -> str:
    """An IMF-fixdate `offset` seconds from now (negative: in the past)."""
    return email.utils.formatdate(time.time() + offset, usegmt=True)


class Gate:
    """Holds the responses scripted with it until the test opens it;
    `arrived` is set once a request is being held."""

    def __init__(self):
        self.arrived = threading.Event()
        self.opened = threading.Event()


@dataclass
class Resp:
    """One scripted response. `body` None gives "response <n>" for the n-th
    request to the path (from 1), so that a body tells which request fetched
    it; `size` gives a body of that many `fill` bytes, made as it is sent."""

    status: int = 200
    headers: list[tuple[str, str]] | dict[str, str] = field(default_factory=list)
    body: bytes | None = None
    size: int | None = None
    fill: bytes = b"x"
    date: bool = True  # add `Date: now` unless the headers give a Date
    chunked: bool = False  # send the body in chunked transfer coding
    truncate: bool = False  # send half the announced body, then close
    stall: bool = False  # send the head and a first piece, then wait for the client to go
    gate: Gate | None = None  # send nothing until the gate opens
    drop: bool = False  # read the request, then close the connection without answering
    delay: float = 0.0  # seconds to hold the answer (a slow origin), after the request is read
    # A single byte range (`bytes=a-b`, `a-`, `-n`) without If-Range, or with
    # an If-Range equal to the ETag, gets a 206 with that slice of the body;
    # any other request the whole body with the scripted status.
    ranged: bool = False
    trailers: list[tuple[str, str]] = field(default_factory=list)  # sent after a chunked body
    early: list[tuple[str, str]] | None = None  # fields of a 103 sent before the response


@dataclass
class Seen:
    method: str
    target: str
    headers: list[tuple[str, str]]
    body: bytes

    def header(self, name: str) -> str | None:
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return ", ".join(values) if values else None

    @property
    def conditional(self) -> bool:
        return any(n.lower() in CONDITIONAL for n, _ in self.headers)


def classify(seen: list[Seen]) -> str:
    """What the requests a path received during one client request mean. A
    request for a range, with or without If-Range, is no revalidation: it
    counts as a miss."""
    if not seen:
        return "hit"
    if len(seen) > 1:
        return f"{len(seen)} requests"
    return "revalidate" if seen[0].conditional else "miss"


@dataclass
class Result:
    """What a client request gave: the final head and body, or the error."""

    status: int | None
    head: bytes
    body: bytes
    error: str | None
    redirects: list[tuple[int, bytes, str, str]]

    def header(self, name: str) -> list[str]:
        values = []
        for line in self.head.decode("latin-1").split("\r\n")[1:]:
            key, sep, value = line.partition(":")
            if sep and key.strip().lower() == name.lower():
                values.append(value.strip())
        return values


def fetch(engine, url: str, method: str = "GET", headers=(), cache: str | None = None,
          redirect: str | None = None, body: bytes | None = None,
          timeout: float | None = None) -> Result:
    """One request read to its end with the module's blocking calls."""
    request = engine.request(method, url, headers=list(headers) or None, body=body,
                             cache=cache, redirect=redirect, timeout=timeout)
    try:
        response = request.start_stream()
        data = bytes(request.read_body())
    except RuntimeError as error:
        return Result(None, b"", b"", str(error), _redirects(request))
    return Result(response.status_code, bytes(response.headers), data, None,
                  _redirects(request))


def _redirects(request) -> list[tuple[int, bytes, str, str]]:
    return [(status, bytes(head), target, method)
            for status, head, target, method in request.take_redirects()]


def outcome(origin, engine, path, **options):
    """What one request did at the origin, and its result."""
    before = origin.count(path)
    result = fetch(engine, origin.url(path), **options)
    return classify(origin.requests(path)[before:]), result


class CacheServer:
    def __init__(self):
        self._lock = threading.Lock()
        self._routes: dict[str, list[Resp]] = {}
        self._seen: dict[str, list[Seen]] = {}
        self._released = threading.Event()
        self._open: set[socket.socket] = set()
        self._ids = itertools.count(1)
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer._serve(self.request)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self._server = Server((HOST, 0), Handler)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    # ---- scripting ---------------------------------------------------------------

    def new_path(self, name: str = "p") -> str:
        """A path no other test uses."""
        return f"/{next(self._ids)}-{name}"

    def script(self, path: str, *responses: Resp) -> str:
        with self._lock:
            self._routes[path] = list(responses)
            self._seen.setdefault(path, [])
        return self.url(path)

    def url(self, path: str) -> str:
        return f"http://{HOST}:{self.port}{path}"

    def requests(self, path: str) -> list[Seen]:
        with self._lock:
            return list(self._seen.get(path, []))

    def count(self, path: str) -> int:
        return len(self.requests(path))

    def stop(self):
        self._released.set()
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            for sock in self._open:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    # ---- serving -----------------------------------------------------------------

    def _next(self, path: str, seen: Seen) -> tuple[Resp | None, int]:
        with self._lock:
            log = self._seen.setdefault(path, [])
            log.append(seen)
            script = self._routes.get(path)
            if not script:
                return None, len(log)
            return script[min(len(log), len(script)) - 1], len(log)

    def _serve(self, sock: socket.socket):
        reader = _Reader(sock)
        with self._lock:
            self._open.add(sock)
        try:
            while True:
                request = reader.request()
                if request is None:
                    return
                resp, index = self._next(request.target, request)
                if resp is None:
                    resp = Resp(404, {"Cache-Control": "no-store"}, b"unscripted")
                if not self._send(sock, request, resp, index):
                    return
        except OSError:
            pass
        finally:
            with self._lock:
                self._open.discard(sock)

    def _send(self, sock: socket.socket, request: Seen, resp: Resp, index: int) -> bool:
        method = request.method
        if resp.gate is not None:
            resp.gate.arrived.set()
            resp.gate.opened.wait(30)
        if resp.drop:
            sock.shutdown(socket.SHUT_RDWR)
            return False
        if resp.delay:
            time.sleep(resp.delay)
        headers = list(resp.headers.items() if isinstance(resp.headers, dict) else resp.headers)
        if resp.ranged:
            resp, headers = _answer_range(request, resp, headers, self._body(resp, index))
        if resp.trailers and resp.chunked:
            headers.append(("Trailer", ", ".join(n for n, _ in resp.trailers)))
        names = {n.lower() for n, _ in headers}
        if resp.date and "date" not in names:
            headers.append(("Date", http_date()))
        has_body = resp.status not in (204, 304) and resp.status >= 200
        size = resp.size if resp.size is not None else len(self._body(resp, index))
        if has_body and resp.chunked:
            headers.append(("Transfer-Encoding", "chunked"))
        elif has_body and "content-length" not in names and "transfer-encoding" not in names:
            headers.append(("Content-Length", str(size)))
        close = resp.truncate or resp.stall
        if close:
            headers.append(("Connection", "close"))
        try:
            reason = http.HTTPStatus(resp.status).phrase
        except ValueError:
            reason = "Status"
        head = ""
        if resp.early is not None:
            head += "HTTP/1.1 103 Early Hints\r\n"
            head += "".join(f"{n}: {v}\r\n" for n, v in resp.early) + "\r\n"
        head += f"HTTP/1.1 {resp.status} {reason}\r\n"
        head += "".join(f"{n}: {v}\r\n" for n, v in headers) + "\r\n"
        sock.sendall(head.encode("latin-1"))
        if not has_body or method == "HEAD":
            return not close
        if resp.truncate:
            sock.sendall(self._body(resp, index)[: size // 2])
            sock.shutdown(socket.SHUT_RDWR)
            return False
        if resp.stall:
            sock.sendall(self._body(resp, index)[:65536])
            self._wait_for_close(sock)
            return False
        if resp.chunked:
            body = self._body(resp, index)
            step = max(1, len(body) // 3)
            for start in range(0, len(body), step):
                piece = body[start:start + step]
                sock.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))
            trailer = "".join(f"{n}: {v}\r\n" for n, v in resp.trailers)
            sock.sendall(b"0\r\n" + trailer.encode("latin-1") + b"\r\n")
        elif resp.size is not None:
            piece = resp.fill * (256 * 1024 // len(resp.fill))
            left = resp.size
            while left > 0:
                chunk = piece[:left]
                sock.sendall(chunk)
                left -= len(chunk)
        else:
            sock.sendall(self._body(resp, index))
        return True

    def _wait_for_close(self, sock: socket.socket):
        """Holds a stalled response until the client goes or the server stops."""
        sock.settimeout(0.2)
        while not self._released.is_set():
            try:
                if not sock.recv(65536):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    @staticmethod
    def _body(resp: Resp, index: int) -> bytes:
        if resp.size is not None:
            whole, part = divmod(resp.size, len(resp.fill))
            return resp.fill * whole + resp.fill[:part]
        return resp.body if resp.body is not None else f"response {index}".encode()


def _answer_range(request: Seen, resp: Resp, headers: list[tuple[str, str]],
                  body: bytes) -> tuple[Resp, list[tuple[str, str]]]:
    """What an origin that serves byte ranges answers: the slice as a 206 when
    the request asks for one satisfiable range and its If-Range (if any) is
    the response's ETag; the scripted response otherwise."""
    spec = request.header("Range")
    if spec is None:
        return resp, headers
    if_range = request.header("If-Range")
    etag = next((v for n, v in headers if n.lower() == "etag"), None)
    if if_range is not None and if_range != etag:
        return resp, headers
    unit, _, ranges = spec.partition("=")
    first_text, dash, last_text = ranges.strip().partition("-")
    length = len(body)
    if unit.strip().lower() != "bytes" or "," in ranges or not dash:
        return resp, headers
    try:
        if first_text == "":
            first, last = max(0, length - int(last_text)), length - 1
        else:
            first = int(first_text)
            last = min(int(last_text), length - 1) if last_text else length - 1
    except ValueError:
        return resp, headers
    if first > last or first >= length:
        return resp, headers
    part = dataclasses.replace(resp, status=206, body=body[first:last + 1], size=None)
    return part, headers + [("Content-Range", f"bytes {first}-{last}/{length}")]


class _Reader:
    """Reads requests one after another from a keep-alive connection."""

    def __init__(self, sock: socket.socket):
        self.sock = sock
        self.buf = b""

    def _fill(self) -> bool:
        chunk = self.sock.recv(65536)
        self.buf += chunk
        return bool(chunk)

    def _line(self) -> bytes | None:
        while b"\r\n" not in self.buf:
            if not self._fill():
                return None
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _exactly(self, n: int) -> bytes | None:
        while len(self.buf) < n:
            if not self._fill():
                return None
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def request(self) -> Seen | None:
        while b"\r\n\r\n" not in self.buf:
            if not self._fill():
                return None
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        request_line, *lines = head.decode("latin-1").split("\r\n")
        method, target, _ = request_line.split(" ", 2)
        headers = []
        for line in lines:
            name, _, value = line.partition(":")
            headers.append((name.strip(), value.strip()))
        seen = Seen(method, target, headers, b"")
        if (seen.header("transfer-encoding") or "").lower() == "chunked":
            body = b""
            while True:
                size_line = self._line()
                if size_line is None:
                    return None
                size = int(size_line.split(b";")[0], 16)
                if size == 0:
                    while self._line() not in (b"", None):
                        pass  # trailers
                    break
                body += self._exactly(size) or b""
                self._line()
            seen.body = body
        elif (length := seen.header("content-length")) is not None:
            seen.body = self._exactly(int(length)) or b""
        return seen
