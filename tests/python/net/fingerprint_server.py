"""A server on 127.0.0.1 that tells a client how it looks on the wire.

Per connection it peeks at the raw TLS ClientHello before the handshake and
takes it apart (cipher suites, extensions in order, groups, signature
algorithms, ALPN, versions, JA3 and JA4); over HTTP/2 it records the SETTINGS
frame, the connection's window update, PRIORITY frames and the pseudo-header
order (the `settings|window|priority|pseudo-order` form); over HTTP/1.1 the
header fields in order. Every response body is that record as JSON, so a
client learns its own fingerprint from the answer; `records` keeps them too.

Paths: anything answers with the record; /coding/NAME answers a body in that
content coding (gzip, deflate, br, zstd) for the decoding tests; a WebSocket
upgrade is accepted, and the record is sent as one text message followed by
a close.

Also runnable on its own: python fingerprint_server.py prints its port and
serves until interrupted (with a fresh test certificate).
"""

import base64
import gzip
import hashlib
import json
import socket
import socketserver
import ssl
import struct
import threading
import time
import zlib

HOST = "127.0.0.1"
CODED_TEXT = b"The quick brown fox jumps over the lazy dog. " * 200

_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_H2_PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


# ---- ClientHello ------------------------------------------------------------------

def is_grease(value):
    return (value & 0x0F0F) == 0x0A0A and (value >> 8) == (value & 0xFF)


def _u16_list(data):
    return [int.from_bytes(data[i:i + 2], "big") for i in range(0, len(data) - 1, 2)]


def parse_client_hello(record):
    """Takes apart a ClientHello given as its TLS records (one or more)."""
    body = b""
    at = 0
    while at + 5 <= len(record):
        length = int.from_bytes(record[at + 3:at + 5], "big")
        body += record[at + 5:at + 5 + length]
        at += 5 + length
    if not body or body[0] != 1:
        raise ValueError("not a ClientHello")
    hello = body[4:4 + int.from_bytes(body[1:4], "big")]
    legacy_version = int.from_bytes(hello[0:2], "big")
    p = 34
    p += 1 + hello[p]  # session id
    n = int.from_bytes(hello[p:p + 2], "big")
    ciphers = _u16_list(hello[p + 2:p + 2 + n])
    p += 2 + n
    p += 1 + hello[p]  # compression methods
    extensions, data_of = [], {}
    if p + 2 <= len(hello):
        end = p + 2 + int.from_bytes(hello[p:p + 2], "big")
        p += 2
        while p + 4 <= end:
            kind = int.from_bytes(hello[p:p + 2], "big")
            size = int.from_bytes(hello[p + 2:p + 4], "big")
            extensions.append(kind)
            data_of.setdefault(kind, hello[p + 4:p + 4 + size])
            p += 4 + size

    def ext(kind):
        return data_of.get(kind, b"")

    alpn, data = [], ext(16)[2:]
    while data:
        alpn.append(data[1:1 + data[0]].decode("latin-1"))
        data = data[1 + data[0]:]
    sni = None
    if 0 in data_of and len(ext(0)) > 5:
        sni = ext(0)[5:5 + int.from_bytes(ext(0)[3:5], "big")].decode("latin-1")
    key_share, data = [], ext(51)[2:]
    while len(data) >= 4:
        key_share.append(int.from_bytes(data[0:2], "big"))
        data = data[4 + int.from_bytes(data[2:4], "big"):]
    info = {
        "legacy_version": legacy_version,
        "ciphers": ciphers,
        "extensions": extensions,
        "groups": _u16_list(ext(10)[2:]),
        "point_formats": list(ext(11)[1:]),
        "sigalgs": _u16_list(ext(13)[2:]),
        "alpn": alpn,
        "versions": _u16_list(ext(43)[1:]),
        "key_share": key_share,
        "sni": sni,
        "padding": 21 in extensions,
    }
    info.update(ja3(info))
    info.update(ja4(info))
    return info


def ja3(h):
    def join(values):
        return "-".join(str(v) for v in values if not is_grease(v))

    text = ",".join([str(h["legacy_version"]), join(h["ciphers"]), join(h["extensions"]),
                     join(h["groups"]), join(h["point_formats"])])
    return {"ja3": text, "ja3_hash": hashlib.md5(text.encode()).hexdigest()}


def _ja4_hash(text):
    return hashlib.sha256(text.encode()).hexdigest()[:12] if text else "000000000000"


def ja4(h):
    names = {0x0304: "13", 0x0303: "12", 0x0302: "11", 0x0301: "10", 0x0300: "s3"}
    versions = [v for v in h["versions"] if not is_grease(v)] or [h["legacy_version"]]
    version = names.get(max(versions), "00")
    ciphers = [c for c in h["ciphers"] if not is_grease(c)]
    extensions = [e for e in h["extensions"] if not is_grease(e)]
    alpn = h["alpn"][0] if h["alpn"] else ""
    alpn_part = (alpn[0] + alpn[-1]) if alpn else "00"
    a = "t%s%s%02d%02d%s" % (version, "d" if h["sni"] else "i", min(len(ciphers), 99),
                             min(len(extensions), 99), alpn_part)
    b = _ja4_hash(",".join("%04x" % c for c in sorted(ciphers)))
    c_text = ",".join("%04x" % e for e in sorted(e for e in extensions if e not in (0, 16)))
    sigalgs = [s for s in h["sigalgs"] if not is_grease(s)]
    if sigalgs:
        c_text += "_" + ",".join("%04x" % s for s in sigalgs)
    c = _ja4_hash(c_text)
    return {"ja4": f"{a}_{b}_{c}", "ja4_a": a, "ja4_b": b, "ja4_c": c}


def peek_client_hello(sock, timeout=10.0):
    """The records carrying the ClientHello, left unread on the socket; None
    when the client does not start with TLS."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        data = sock.recv(65536, socket.MSG_PEEK)
        if not data:
            raise ConnectionError("closed before the ClientHello")
        if data[0] != 0x16:
            return None
        at, body = 0, b""
        while at + 5 <= len(data):
            length = int.from_bytes(data[at + 3:at + 5], "big")
            if at + 5 + length > len(data):
                break
            body += data[at + 5:at + 5 + length]
            at += 5 + length
        if len(body) >= 4 and len(body) >= 4 + int.from_bytes(body[1:4], "big"):
            return data[:at]
        time.sleep(0.005)  # the rest of the hello is still on its way
    raise TimeoutError("no whole ClientHello")


# ---- HTTP/2 frames -------------------------------------------------------------------

class H2Recorder:
    """Reads the client's frames as they arrive and keeps what fingerprints
    an HTTP/2 client."""

    def __init__(self):
        self.buffer = b""
        self.preface_seen = False
        self.settings = None
        self.window_update = 0
        self.priority_frames = []

    def feed(self, data):
        self.buffer += data
        if not self.preface_seen:
            if len(self.buffer) < len(_H2_PREFACE):
                return
            self.buffer = self.buffer[len(_H2_PREFACE):]
            self.preface_seen = True
        while len(self.buffer) >= 9:
            length = int.from_bytes(self.buffer[0:3], "big")
            if len(self.buffer) < 9 + length:
                return
            kind, flags = self.buffer[3], self.buffer[4]
            stream = int.from_bytes(self.buffer[5:9], "big") & 0x7FFFFFFF
            payload = self.buffer[9:9 + length]
            self.buffer = self.buffer[9 + length:]
            if kind == 0x4 and not flags & 0x1 and self.settings is None:
                self.settings = [list(struct.unpack(">HI", payload[i:i + 6]))
                                 for i in range(0, len(payload), 6)]
            elif kind == 0x8 and stream == 0 and not self.window_update:
                self.window_update = int.from_bytes(payload[0:4], "big") & 0x7FFFFFFF
            elif kind == 0x2:
                dep = int.from_bytes(payload[0:4], "big")
                self.priority_frames.append(
                    f"{stream}:{dep >> 31}:{dep & 0x7FFFFFFF}:{payload[4] + 1}")

    def fingerprint(self, pseudo):
        settings = ";".join(f"{k}:{v}" for k, v in self.settings or [])
        order = ",".join(name[1] for name in pseudo)
        priority = ",".join(self.priority_frames) or "0"
        return f"{settings}|{self.window_update or '00'}|{priority}|{order}"


# ---- responses ---------------------------------------------------------------------

def encode_body(coding, data):
    if coding == "gzip":
        return gzip.compress(data)
    if coding == "deflate":
        return zlib.compress(data)
    if coding == "br":
        import brotli
        return brotli.compress(data)
    if coding == "zstd":
        import zstandard
        return zstandard.ZstdCompressor().compress(data)
    raise KeyError(coding)


def response_for(path, record):
    """(status, extra header fields, body) for a request to `path`."""
    if path.startswith("/coding/"):
        coding = path[len("/coding/"):]
        try:
            return 200, [("content-encoding", coding)], encode_body(coding, CODED_TEXT)
        except (KeyError, ImportError):
            return 404, [], b"unknown coding"
    return 200, [("content-type", "application/json")], json.dumps(record).encode()


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server.owner
        sock = self.request
        record = {"tls": None, "alpn": None}
        try:
            hello = peek_client_hello(sock)
            if hello is not None:
                record["tls"] = parse_client_hello(hello)
                sock.settimeout(10.0)
                sock = server.context.wrap_socket(sock, server_side=True)
                record["alpn"] = sock.selected_alpn_protocol()
            else:
                sock.settimeout(10.0)
            if record["alpn"] == "h2":
                self.serve_h2(sock, record, server)
            else:
                self.serve_h1(sock, record, server)
        except Exception:  # noqa: BLE001 - a client that breaks off only ends its connection
            pass
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def serve_h1(self, sock, record, server):
        buffer = b""
        while True:
            while b"\r\n\r\n" not in buffer:
                data = sock.recv(65536)
                if not data:
                    return
                buffer += data
            head, buffer = buffer.split(b"\r\n\r\n", 1)
            lines = head.decode("latin-1").split("\r\n")
            method, path, _ = lines[0].split(" ", 2)
            headers = [line.split(":", 1) for line in lines[1:]]
            headers = [[name, value.strip()] for name, value in headers]
            length = next((int(v) for k, v in headers if k.lower() == "content-length"), 0)
            while len(buffer) < length:
                buffer += sock.recv(65536)
            buffer = buffer[length:]
            request = dict(record, http={"version": "1.1", "method": method, "path": path,
                                         "headers": headers})
            server.add(request)
            if any(k.lower() == "upgrade" and v.lower() == "websocket" for k, v in headers):
                return self.serve_websocket(sock, headers, request)
            status, extra, body = response_for(path, request)
            fields = "".join(f"{k}: {v}\r\n" for k, v in extra)
            sock.sendall(f"HTTP/1.1 {status} X\r\n{fields}content-length: {len(body)}\r\n\r\n"
                         .encode() + body)

    def serve_websocket(self, sock, headers, request):
        key = next(v for k, v in headers if k.lower() == "sec-websocket-key")
        accept = base64.b64encode(hashlib.sha1(key.encode() + _WS_GUID).digest()).decode()
        sock.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                      f"Connection: Upgrade\r\nSec-WebSocket-Accept: {accept}\r\n\r\n").encode())
        payload = json.dumps(request).encode()
        frame = b"\x81" + (bytes([126]) + struct.pack(">H", len(payload)) if len(payload) < 65536
                           else bytes([127]) + struct.pack(">Q", len(payload))) + payload
        sock.sendall(frame + b"\x88\x02\x03\xe8")
        # The client's close, then the end.
        while sock.recv(65536):
            pass

    def serve_h2(self, sock, record, server):
        import h2.config
        import h2.connection
        import h2.events

        conn = h2.connection.H2Connection(h2.config.H2Configuration(
            client_side=False, header_encoding="latin-1", validate_inbound_headers=False))
        conn.initiate_connection()
        sock.sendall(conn.data_to_send())
        recorder = H2Recorder()
        while True:
            data = sock.recv(65536)
            if not data:
                return
            recorder.feed(data)
            for event in conn.receive_data(data):
                if not isinstance(event, h2.events.RequestReceived):
                    continue
                pairs = [[str(k), str(v)] for k, v in event.headers]
                pseudo = [k for k, _ in pairs if k.startswith(":")]
                fields = dict(pairs)
                priority = event.priority_updated
                request = dict(record, http={
                    "version": "2", "method": fields.get(":method"), "path": fields.get(":path"),
                    "pseudo": pseudo, "headers": [p for p in pairs if not p[0].startswith(":")],
                    "settings": recorder.settings, "window_update": recorder.window_update,
                    "priority_frames": recorder.priority_frames,
                    "headers_priority": None if priority is None else {
                        "weight": priority.weight, "depends_on": priority.depends_on,
                        "exclusive": priority.exclusive},
                    "akamai": recorder.fingerprint(pseudo)})
                server.add(request)
                status, extra, body = response_for(request["http"]["path"], request)
                conn.send_headers(event.stream_id, [(":status", str(status)), *extra,
                                                    ("content-length", str(len(body)))])
                while body:
                    chunk = body[:min(conn.local_flow_control_window(event.stream_id),
                                      conn.max_outbound_frame_size)]
                    if not chunk:
                        break  # a body larger than the client's window: not needed here
                    conn.send_data(event.stream_id, chunk)
                    body = body[len(chunk):]
                conn.end_stream(event.stream_id)
            sock.sendall(conn.data_to_send())


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class FingerprintServer:
    """Serves HTTP/1.1, HTTP/2 (ALPN) and WebSocket upgrades, with or without
    TLS on the same port. `alpn`: the protocols TLS clients may choose from."""

    def __init__(self, cert=None, alpn=("h2", "http/1.1")):
        self.context = None
        if cert is not None:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            cert.configure_cert(self.context)
            self.context.set_alpn_protocols(list(alpn))
        self.records = []
        self._lock = threading.Lock()
        self._server = _Server((HOST, 0), _Handler)
        self._server.owner = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def add(self, record):
        with self._lock:
            self.records.append(record)

    def url(self, path="/", scheme="https"):
        return f"{scheme}://{HOST}:{self.port}{path}"

    def stop(self):
        self._server.shutdown()
        self._server.server_close()


if __name__ == "__main__":
    import certs

    _, issued = certs.make_certificates()
    server = FingerprintServer(issued["good"])
    print(server.port, flush=True)
    threading.Event().wait()
