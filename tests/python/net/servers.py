"""Local servers for the network tests, all bound to 127.0.0.1: nginx,
hypercorn with the ASGI app, tinyproxy, and small scripted socket servers for
broken peers. The benchmarks start their servers with these helpers too."""

import os
import shutil
import socket
import socketserver
import subprocess
import sys
import threading
import time
from pathlib import Path

from certs import write_pem

HOST = "127.0.0.1"
HERE = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_for_port(port, proc=None, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


class Process:
    """A server process started for the tests and stopped with them."""

    def __init__(self, args, ports, log, cwd=None, timeout=15.0):
        self.log = open(log, "wb")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, cwd=cwd,
                                     start_new_session=True)
        try:
            for port in ports:
                wait_for_port(port, self.proc, timeout)
        except Exception:
            self.stop()
            raise

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


# ---- nginx -------------------------------------------------------------------

NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
{user}
error_log {dir}/error.log error;
pid {dir}/nginx.pid;
events {{ worker_connections {connections}; }}
http {{
  access_log off;
  client_body_temp_path {dir}/tmp/body;
  proxy_temp_path {dir}/tmp/proxy;
  fastcgi_temp_path {dir}/tmp/fastcgi;
  uwsgi_temp_path {dir}/tmp/uwsgi;
  scgi_temp_path {dir}/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 1000000;
{settings}
  root {dir}/www;
{servers}
}}
"""


def start_nginx(workdir, ports, server_blocks, settings="", connections=2048, timeout=15.0):
    """Writes workdir/nginx.conf and starts nginx on it, serving workdir/www.
    `server_blocks`: the server blocks, formatted with `dir`, `host` and every
    entry of `ports`; `settings`: more lines for the http block."""
    workdir = Path(workdir)
    (workdir / "tmp").mkdir(parents=True, exist_ok=True)
    (workdir / "www").mkdir(exist_ok=True)
    conf = NGINX_CONF.format(
        dir=workdir, user="user root;" if os.geteuid() == 0 else "", connections=connections,
        settings=settings.strip("\n"),
        servers=server_blocks.format(dir=workdir, host=HOST, **ports).strip("\n"))
    (workdir / "nginx.conf").write_text(conf)
    return Process(["nginx", "-c", str(workdir / "nginx.conf"), "-p", str(workdir)],
                   ports.values(), workdir / "nginx.out", timeout=timeout)


def sparse_file(path, size):
    """A file of `size` zero bytes that takes neither disk nor time to make."""
    with open(path, "wb") as f:
        f.truncate(size)


NGINX_SERVERS = """
  server {{ listen {host}:{http1}; include {dir}/locations.conf; }}
  server {{
    listen {host}:{https} ssl http2;
    ssl_certificate {dir}/good.pem; ssl_certificate_key {dir}/good.key;
    include {dir}/locations.conf;
  }}
  server {{ listen {host}:{h2c} http2; include {dir}/locations.conf; }}
  server {{
    listen {host}:{wrong_name} ssl;
    ssl_certificate {dir}/wrong_name.pem; ssl_certificate_key {dir}/wrong_name.key;
  }}
  server {{
    listen {host}:{expired} ssl;
    ssl_certificate {dir}/expired.pem; ssl_certificate_key {dir}/expired.key;
  }}
"""

NGINX_LOCATIONS = """
location = /r301 { return 301 /small.bin; }
location = /r302 { return 302 /small.bin; }
location = /r303 { return 303 /small.bin; }
location = /r307 { return 307 /small.bin; }
location = /r308 { return 308 /small.bin; }
location = /r302-absolute { return 302 $scheme://$http_host/small.bin; }
location = /conn { return 200 "$connection"; }
location /gz/ { gzip on; gzip_types *; gzip_min_length 0; }
"""


class Nginx:
    def __init__(self, workdir, certs):
        self.dir = Path(workdir)
        www = self.dir / "www"
        (www / "gz").mkdir(parents=True)
        self.small = os.urandom(1024)
        (www / "small.bin").write_bytes(self.small)
        self.medium = os.urandom(8 * 1024 * 1024)
        (www / "medium.bin").write_bytes(self.medium)
        self.text = b"compressible text line\n" * 4000
        (www / "gz" / "text.txt").write_bytes(self.text)
        sparse_file(www / "big.bin", 256 * 1024 * 1024)
        for name, cert in certs.items():
            write_pem(cert, self.dir, name)
        (self.dir / "locations.conf").write_text(NGINX_LOCATIONS)
        self.ports = {k: free_port() for k in ("http1", "https", "h2c", "wrong_name", "expired")}
        self.process = start_nginx(self.dir, self.ports, NGINX_SERVERS)

    def url(self, kind, path):
        scheme = "https" if kind in ("https", "wrong_name", "expired") else "http"
        return f"{scheme}://{HOST}:{self.ports[kind]}{path}"

    def stop(self):
        self.process.stop()


# ---- hypercorn -----------------------------------------------------------------

class Hypercorn:
    """The ASGI app over HTTP/1.1 and HTTP/2; with `quic`, HTTP/3 too, on the
    UDP port of the TLS port's number (hypercorn then advertises it in
    Alt-Svc). `quic_port`: QUIC on that UDP port instead."""

    def __init__(self, workdir, cert, quic=False, quic_port=None):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        pem, key = write_pem(cert, self.dir, "app")
        self.port = free_port()
        self.tls_port = free_port()
        quic_args = []
        if quic or quic_port:
            self.quic_port = quic_port or self.tls_port
            quic_args = ["--quic-bind", f"{HOST}:{self.quic_port}"]
        args = [sys.executable, "-m", "hypercorn", "--workers", "1",
                "--bind", f"{HOST}:{self.tls_port}", "--insecure-bind", f"{HOST}:{self.port}",
                *quic_args, "--certfile", str(pem), "--keyfile", str(key),
                "asgi_app:app"]
        self.process = Process(args, [self.port, self.tls_port], self.dir / "hypercorn.out",
                               cwd=HERE)

    def url(self, path, tls=False, host=HOST):
        if tls:
            return f"https://{host}:{self.tls_port}{path}"
        return f"http://{host}:{self.port}{path}"

    def stop(self):
        self.process.stop()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class UdpRelay:
    """A UDP port that forwards each client's datagrams to `target` and the
    answers back, and counts what clients sent. Switched to dropping, it
    swallows everything, as a network that blocks QUIC does."""

    def sent_since(self, before):
        """What clients not in `before` (an earlier `received`) sent."""
        self.sync()
        return {a: n for a, n in self.received.items() if a not in before}

    def __init__(self, port, target):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, port))
        self.target = target
        self.dropping = False
        self.received = {}  # client address -> datagrams from it
        self._upstreams = {}  # client address -> socket towards the target
        self._marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._marker.bind((HOST, 0))
        self._synced = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        import selectors
        selector = selectors.DefaultSelector()
        selector.register(self.sock, selectors.EVENT_READ, None)
        while not self._stop.is_set():
            for key, _ in selector.select(0.05):
                try:
                    data, address = key.fileobj.recvfrom(65536)
                except OSError:
                    continue
                if key.data is None and address == self._marker.getsockname():
                    self._synced.set()
                elif key.data is None:  # from a client
                    self.received[address] = self.received.get(address, 0) + 1
                    if self.dropping:
                        continue
                    upstream = self._upstreams.get(address)
                    if upstream is None:
                        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                        upstream.connect(self.target)
                        self._upstreams[address] = upstream
                        selector.register(upstream, selectors.EVENT_READ, address)
                    upstream.send(data)
                elif not self.dropping:
                    self.sock.sendto(data, key.data)
        selector.close()

    def sync(self):
        """Returns once every datagram sent to the relay before the call is
        counted: a marker sent now is read after them."""
        self._synced.clear()
        self._marker.sendto(b"sync", self.sock.getsockname())
        if not self._synced.wait(10):
            raise RuntimeError("the relay did not read its marker")

    def stop(self):
        self._stop.set()
        self._thread.join()
        for upstream in self._upstreams.values():
            upstream.close()
        self._marker.close()
        self.sock.close()


# ---- tinyproxy -----------------------------------------------------------------

TINYPROXY_CONF = """
Port {port}
Listen {host}
Timeout 60
MaxClients 64
Allow {host}
BasicAuth {user} {password}
{connect_ports}
DisableViaHeader Yes
LogLevel Error
LogFile "{dir}/tinyproxy.log"
{user_line}
"""


class Tinyproxy:
    USER = "proxyuser"
    PASSWORD = "proxysecret"

    def __init__(self, workdir, connect_port):
        """`connect_port`: the port, or list of ports, that CONNECT may reach."""
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        ports = connect_port if isinstance(connect_port, (list, tuple)) else [connect_port]
        conf = TINYPROXY_CONF.format(
            port=self.port, host=HOST, user=self.USER, password=self.PASSWORD,
            connect_ports="\n".join(f"ConnectPort {p}" for p in ports), dir=self.dir,
            user_line="User root\nGroup root" if os.geteuid() == 0 else "")
        (self.dir / "tinyproxy.conf").write_text(conf)
        self.process = Process(["tinyproxy", "-d", "-c", str(self.dir / "tinyproxy.conf")],
                               [self.port], self.dir / "tinyproxy.out")

    @property
    def url(self):
        return f"http://{HOST}:{self.port}"

    def stop(self):
        self.process.stop()


def have(program):
    return shutil.which(program) is not None


# ---- scripted socket servers ---------------------------------------------------

def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


class ScriptedServer:
    """Answers each connection with the behaviour named by its request path."""

    def __init__(self, behaviours):
        self.behaviours = behaviours
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                head, rest = read_head(self.request)
                if head is None:
                    return
                path = head.split(" ")[1]
                outer.behaviours[path.split("?")[0]](self.request, head, rest)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server((HOST, 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://{HOST}:{self.port}{path}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
