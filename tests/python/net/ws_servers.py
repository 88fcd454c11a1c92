"""WebSocket servers for the tests, all on 127.0.0.1: the `websockets`
package on an event loop of its own (plain and TLS), a TLS proxy that opens
CONNECT tunnels, a SOCKS5 proxy, and raw peers that break the protocol on
purpose. The benchmarks' echo server is WsServer too (bench/ws_server.py)."""

import asyncio
import base64
import hashlib
import json
import socket
import ssl
import struct
import threading
from http import HTTPStatus
from urllib.parse import parse_qs, urlsplit

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed

import servers
from certs import server_context

HOST = servers.HOST
GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
FLOOD_LIMIT = 100_000  # messages; the client ends the flood long before


def query(path):
    return {k: v[-1] for k, v in parse_qs(urlsplit(path).query).items()}


def pick_subprotocol(connection, offered):
    for name in ("chat", "superchat"):
        if name in offered:
            return name
    return None


class WsServer:
    """Behaviour by request path:
    /echo            echoes every message with its type
    /collect         keeps every message in `received`, answers nothing
    /hello           sends a JSON text describing the handshake, then echoes
    /close?code=&reason=   closes at once with that code and reason
    /drop            sends "bye" and cuts the TCP connection
    /flood?size=     sends binary messages until the client goes
    /big?size=       sends one binary message of that size, then echoes
    /refuse          answers the upgrade with 403
    What the server saw of each connection is kept in `seen`, by path.
    `port`: 0 for any free one; `options` override those given to `serve`."""

    def __init__(self, tls_context=None, port=0, **options):
        self.seen = {}
        self.received = {}
        self.closed = {}  # path -> (code, reason) of the client's close frame
        self._lock = threading.Lock()
        self._events = {}
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        started = asyncio.run_coroutine_threadsafe(self._start(tls_context, port, options),
                                                   self.loop)
        self.server = started.result(15)
        self.port = self.server.sockets[0].getsockname()[1]
        self.scheme = "wss" if tls_context else "ws"

    async def _start(self, tls_context, port, options):
        # A handler still echoing when the client closes waits this long for
        # the connection to go; the default would hold up the server's stop.
        options = {"max_size": None, "ping_interval": None, "close_timeout": 1, **options}
        return await serve(self._handle, HOST, port, ssl=tls_context,
                           process_request=self._process_request,
                           process_response=self._process_response,
                           select_subprotocol=pick_subprotocol, **options)

    def url(self, path, host=HOST):
        return f"{self.scheme}://{host}:{self.port}{path}"

    def stop(self):
        async def close():
            self.server.close()
            await self.server.wait_closed()
        asyncio.run_coroutine_threadsafe(close(), self.loop).result(15)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(15)

    def wait_closed(self, path, timeout=10):
        """Waits for the server's end of the connection; the client's close
        frame as (code, reason), or None when none came."""
        with self._lock:
            event = self._events.setdefault(path, threading.Event())
        if not event.wait(timeout):
            raise TimeoutError(f"the connection to {path} did not end")
        return self.closed[path]

    def _process_request(self, connection, request):
        if urlsplit(request.path).path == "/refuse":
            return connection.respond(HTTPStatus.FORBIDDEN, "go away\n")
        return None

    def _process_response(self, connection, request, response):
        # ?cookie=name=value sets a cookie with the handshake's response.
        cookie = query(request.path).get("cookie")
        if cookie:
            response.headers["Set-Cookie"] = f"{cookie}; Path=/; Max-Age=3600"
        return response

    async def _handle(self, ws):
        path = ws.request.path
        route = urlsplit(path).path
        args = query(path)
        self.seen[path] = {
            "headers": [[k, v] for k, v in ws.request.headers.raw_items()],
            "subprotocol": ws.subprotocol,
            "extensions": [e.name for e in ws.protocol.extensions],
        }
        try:
            if route == "/hello":
                await ws.send(json.dumps(self.seen[path]))
            elif route == "/close":
                await ws.close(int(args["code"]), args.get("reason", ""))
            elif route == "/drop":
                await ws.send("bye")
                ws.transport.abort()
                return
            elif route == "/flood":
                payload = bytes(int(args.get("size", "1024")))
                for _ in range(FLOOD_LIMIT):
                    await ws.send(payload)
            elif route == "/big":
                await ws.send(bytes(int(args["size"])))
            elif route == "/collect":
                received = self.received.setdefault(path, [])
                async for message in ws:
                    received.append(message)
            async for message in ws:
                await ws.send(message)
        except ConnectionClosed:
            pass
        finally:
            self._record_close(path, ws)

    def _record_close(self, path, ws):
        received = ws.protocol.close_rcvd
        with self._lock:
            self.closed[path] = (received.code, received.reason) if received else None
            self._events.setdefault(path, threading.Event()).set()


# ---- proxies -------------------------------------------------------------------

class ThreadedListener:
    """Listens on 127.0.0.1 and serves each connection on a thread of its own
    with `_serve(sock)`, which closes the socket when done."""

    def __init__(self):
        self.listener = socket.create_server((HOST, 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def stop(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, sock):
        raise NotImplementedError


class AnyNameConnectProxy(ThreadedListener):
    """An http proxy whose CONNECT tunnels reach 127.0.0.1 at the port asked
    for, whatever the host name: clients then send names without DNS. Keeps
    each CONNECT target in `targets`."""

    def __init__(self):
        self.targets = []
        super().__init__()

    @property
    def url(self):
        return f"http://{HOST}:{self.port}"

    def _serve(self, client):
        try:
            head, rest = servers.read_head(client)
            if head is None:
                return
            method, authority, _ = head.split("\r\n")[0].split(" ")
            if method != "CONNECT":
                client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
                return
            self.targets.append(authority)
            upstream = socket.create_connection((HOST, int(authority.rsplit(":", 1)[1])))
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            if rest:
                upstream.sendall(rest)
            relay(client, upstream)
        except (OSError, ValueError):
            pass
        finally:
            client.close()


class TlsConnectProxy(ThreadedListener):
    """An https proxy: TLS to the client, then CONNECT with Basic credentials,
    then bytes relayed both ways. Only tunnels to 127.0.0.1."""

    USER = "tlsuser"
    PASSWORD = "tlssecret"

    def __init__(self, cert):
        self.context = server_context(cert)
        self.tunnels = 0
        super().__init__()

    @property
    def url(self):
        return f"https://{HOST}:{self.port}"

    def _serve(self, raw):
        try:
            client = self.context.wrap_socket(raw, server_side=True)
            head, rest = servers.read_head(client)
            if head is None:
                return
            lines = head.split("\r\n")
            method, authority, _ = lines[0].split(" ")
            expected = base64.b64encode(f"{self.USER}:{self.PASSWORD}".encode()).decode()
            auth = [line for line in lines[1:]
                    if line.lower().startswith("proxy-authorization:")]
            if method != "CONNECT" or auth != [f"Proxy-Authorization: Basic {expected}"]:
                client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                               b"Content-Length: 0\r\n\r\n")
                return
            host, port = authority.rsplit(":", 1)
            if host != HOST:
                client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                return
            upstream = socket.create_connection((host, int(port)))
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            self.tunnels += 1
            if rest:
                upstream.sendall(rest)
            relay(client, upstream)
        except (OSError, ValueError, ssl.SSLError):
            pass
        finally:
            raw.close()


def relay(a, b):
    def pump(src, dst):
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    other = threading.Thread(target=pump, args=(b, a), daemon=True)
    other.start()
    pump(a, b)
    other.join(30)
    b.close()


class Socks5Proxy(ThreadedListener):
    """SOCKS5 with user name and password; connects to 127.0.0.1 and to
    "localhost" only. `requests` keeps what each client asked to reach."""

    USER = "socksuser"
    PASSWORD = "sockssecret"

    def __init__(self):
        self.requests = []
        super().__init__()

    def url(self, scheme):
        return f"{scheme}://{HOST}:{self.port}"

    @staticmethod
    def _read(sock, n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise OSError("closed")
            data += chunk
        return data

    def _serve(self, client):
        try:
            version, count = self._read(client, 2)
            methods = self._read(client, count)
            if version != 5 or 2 not in methods:
                client.sendall(b"\x05\xff")
                return
            client.sendall(b"\x05\x02")
            _, ulen = self._read(client, 2)
            user = self._read(client, ulen).decode()
            password = self._read(client, self._read(client, 1)[0]).decode()
            if (user, password) != (self.USER, self.PASSWORD):
                client.sendall(b"\x01\x01")
                return
            client.sendall(b"\x01\x00")
            _, command, _, kind = self._read(client, 4)
            if kind == 1:
                host = socket.inet_ntoa(self._read(client, 4))
            elif kind == 3:
                host = self._read(client, self._read(client, 1)[0]).decode()
            else:
                host = socket.inet_ntop(socket.AF_INET6, self._read(client, 16))
            port = struct.unpack("!H", self._read(client, 2))[0]
            self.requests.append((kind, host))
            if command != 1 or host not in (HOST, "localhost"):
                client.sendall(b"\x05\x02\x00\x01" + bytes(6))
                return
            upstream = socket.create_connection((HOST, port))
            client.sendall(b"\x05\x00\x00\x01" + socket.inet_aton(HOST) + struct.pack("!H", port))
            relay(client, upstream)
        except (OSError, ValueError):
            pass
        finally:
            client.close()


# ---- raw peers ---------------------------------------------------------------------

def accept_key(head):
    for line in head.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "sec-websocket-key":
            digest = hashlib.sha1(value.strip().encode() + GUID).digest()
            return base64.b64encode(digest).decode()
    return ""


def switch(sock, head, extra=""):
    sock.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Accept: {accept_key(head)}\r\n"
                  f"{extra}\r\n").encode())


def hold(sock):
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


# The close code of the client's close frame, by path of the raw peer.
RAW_CLOSE_CODES = {}


def record_close_frame(sock, path):
    """Reads the client's close frame, keeps its code and ends the connection."""
    data = b""
    try:
        while len(data) < 8:
            chunk = sock.recv(64)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    if len(data) >= 8 and data[0] == 0x88:
        mask = data[2:6]
        RAW_CLOSE_CODES[path] = ((data[6] ^ mask[0]) << 8) | (data[7] ^ mask[1])
    sock.close()


def bad_frame(sock, head, rest):
    switch(sock, head)
    sock.sendall(bytes([0x83, 0x00]))  # opcode 3 is reserved
    record_close_frame(sock, "/bad-frame")


def masked_frame(sock, head, rest):
    # Frames from a server must not be masked.
    switch(sock, head)
    sock.sendall(bytes([0x81, 0x82, 1, 2, 3, 4]) + bytes([ord("h") ^ 1, ord("i") ^ 2]))
    record_close_frame(sock, "/masked-frame")


def unoffered_protocol(sock, head, rest):
    switch(sock, head, "Sec-WebSocket-Protocol: mqtt\r\n")
    hold(sock)


def wrong_accept(sock, head, rest):
    sock.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\n"
                 b"Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n\r\n")
    hold(sock)


def unknown_extension(sock, head, rest):
    switch(sock, head, "Sec-WebSocket-Extensions: x-webkit-magic\r\n")
    hold(sock)


def stall(sock, head, rest):
    hold(sock)


# Set to let the deaf peers go.
DEAF_RELEASE = threading.Event()


def deaf(sock, head, rest):
    # Open, but reads nothing until released.
    switch(sock, head)
    DEAF_RELEASE.wait(60)
    sock.close()


def close_with_code(sock, head, rest):
    # /close-code?N: a close frame with code N, whether it may be sent or not.
    code = int(head.split(" ")[1].partition("?")[2])
    switch(sock, head)
    sock.sendall(bytes([0x88, 0x02]) + struct.pack("!H", code))
    record_close_frame(sock, "/close-code")


def ping_then_text(sock, head, rest):
    switch(sock, head)
    sock.sendall(bytes([0x89, 0x02]) + b"hi" + bytes([0x81, 0x02]) + b"ok")
    # The pong must come back, masked, with the ping's payload.
    data = b""
    while len(data) < 8:
        chunk = sock.recv(64)
        if not chunk:
            return
        data += chunk
    mask = data[2:6]
    payload = bytes(b ^ mask[i % 4] for i, b in enumerate(data[6:8]))
    answer = b"pong-ok" if data[0] == 0x8A and payload == b"hi" else b"pong-bad"
    sock.sendall(bytes([0x81, len(answer)]) + answer)
    hold(sock)


RAW_BEHAVIOURS = {
    "/bad-frame": bad_frame,
    "/masked-frame": masked_frame,
    "/unoffered-protocol": unoffered_protocol,
    "/wrong-accept": wrong_accept,
    "/unknown-extension": unknown_extension,
    "/stall": stall,
    "/close-code": close_with_code,
    "/deaf": deaf,
    "/ping": ping_then_text,
}
