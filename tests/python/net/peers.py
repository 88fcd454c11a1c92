"""Behaviours of the scripted socket servers: peers that break the protocol
in one particular way each."""

import socket
import struct
import threading

import h2.config
import h2.connection
import h2.errors
import h2.events


def reset(sock, head, rest):
    # SO_LINGER with a zero timeout turns close() into a reset.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def close_silently(sock, head, rest):
    sock.shutdown(socket.SHUT_RDWR)


def malformed(sock, head, rest):
    sock.sendall(b"HTTP/1.1 abc Broken\r\nContent-Length: 0\r\n\r\n")


def not_http(sock, head, rest):
    sock.sendall(b"hello, this is not HTTP at all\r\n\r\n")


def truncated_length(sock, head, rest):
    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + b"x" * 10)
    sock.shutdown(socket.SHUT_RDWR)


def truncated_chunked(sock, head, rest):
    sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
    sock.shutdown(socket.SHUT_RDWR)


def crlf_lf_head(sock, head, rest):
    # Bare LF line ends: the Core still hands out a CRLF block.
    sock.sendall(b"HTTP/1.1 200 OK\nX-One: 1\nContent-Length: 2\n\nok")


def informational(sock, head, rest):
    sock.sendall(b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
                 b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Final: yes\r\n\r\nok")


def stall_head(sock, head, rest):
    # Reads the request and never answers; the client's timeout ends it.
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


def h2_prior_knowledge_reset(sock, head, rest):
    # The HTTP/2 preface reads like a head whose path is "*".
    h2_reset_stream(sock, head.encode("latin-1") + b"\r\n\r\n" + rest)


BEHAVIOURS = {
    "/reset": reset,
    "/close": close_silently,
    "/malformed": malformed,
    "/not-http": not_http,
    "/truncated-length": truncated_length,
    "/truncated-chunked": truncated_chunked,
    "/lf-head": crlf_lf_head,
    "/informational": informational,
    "/stall-head": stall_head,
    "*": h2_prior_knowledge_reset,
}


class GatedUpload:
    """Reads a chunked request body only after `open` is set, then answers
    with the body's length and SHA-256. Meanwhile the sender's writes must
    block once its buffers are full."""

    def __init__(self):
        self.open = threading.Event()
        self.received = 0

    def __call__(self, sock, head, rest):
        import hashlib

        self.open.wait(60)
        digest = hashlib.sha256()
        buffer = rest

        def need(n):
            nonlocal buffer
            while len(buffer) < n:
                chunk = sock.recv(1 << 20)
                if not chunk:
                    raise ConnectionError("closed")
                buffer += chunk

        length = 0
        while True:
            while b"\r\n" not in buffer:
                need(len(buffer) + 1)
            line, buffer = buffer.split(b"\r\n", 1)
            size = int(line.split(b";")[0], 16)
            need(size + 2)
            digest.update(buffer[:size])
            length += size
            buffer = buffer[size + 2:]
            if size == 0:
                break
        self.received = length
        body = f"{length} {digest.hexdigest()}".encode()
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))


def h2_reset_stream(sock, preface_and_rest):
    """HTTP/2 with prior knowledge: answers the head, then resets the stream."""
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
    conn.initiate_connection()
    sock.sendall(conn.data_to_send())
    data = preface_and_rest
    while True:
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                conn.send_headers(event.stream_id, [(":status", "200")])
                conn.send_data(event.stream_id, b"partial")
                conn.reset_stream(event.stream_id, h2.errors.ErrorCodes.PROTOCOL_ERROR)
        out = conn.data_to_send()
        if out:
            sock.sendall(out)
        data = sock.recv(65536)
        if not data:
            return
