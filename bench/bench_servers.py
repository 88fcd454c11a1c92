"""Local servers for the benchmarks, all on 127.0.0.1: nginx (HTTP/1.1 in clear
text, HTTPS with HTTP/2), a newer nginx for HTTP/3 (bench/nginx_h3.sh fetches
it), and a `websockets` echo server, with a certificate made for the run. They
are started with the helpers of the network tests (tests/python/net)."""

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python" / "net"))

from certs import make_certificates, write_pem  # noqa: E402
from servers import (HOST, NGINX_CONF, Process, free_port, sparse_file,  # noqa: E402
                     start_nginx)

SMALL_SIZE = 1024
BIG_SIZE = 256 * 1024 * 1024
CACHED_BIG_SIZE = 10 * 1024 * 1024
# nginx can be slow to come up on a loaded machine.
START_TIMEOUT = 20.0


def make_certificate(workdir):
    """A CA of our own and a server certificate for 127.0.0.1 (trustme's);
    returns the path of the CA bundle, written in `workdir`, and the certificate."""
    ca, issued = make_certificates()
    path = Path(workdir) / "ca.pem"
    ca.cert_pem.write_to_path(str(path))
    return path, issued["good"]


NGINX_SETTINGS = """
  keepalive_timeout 300s;
  http2_max_requests 1000000;
  http2_max_concurrent_streams 128;
"""

NGINX_SERVERS = """
  server {{ listen {host}:{http1}; include {dir}/locations.conf; }}
  server {{
    listen {host}:{https} ssl http2;
    ssl_certificate {dir}/good.pem; ssl_certificate_key {dir}/good.key;
    include {dir}/locations.conf;
  }}
"""

# Files carry Last-Modified, from which an HTTP cache may derive a heuristic
# freshness: every response but those under /cached/ says no-store, so that
# the transfer rows measure transfers and never a client's cache.
NGINX_LOCATIONS = """
location / { add_header Cache-Control no-store always; }
location /cached/ { expires 1h; }
"""


class Nginx:
    """Serves /small.bin (1 KiB) and /big.bin (256 MiB unless told, a sparse
    file: no disk time), both no-store; /cached/small.bin (1 KiB) and
    /cached/big.bin (10 MiB), both fresh for an hour (max-age=3600). Any
    query string gives the same file under another URL."""

    def __init__(self, workdir, cert, big_size=BIG_SIZE):
        self.dir = Path(workdir)
        www = self.dir / "www"
        www.mkdir(parents=True, exist_ok=True)
        (www / "small.bin").write_bytes(os.urandom(SMALL_SIZE))
        sparse_file(www / "big.bin", big_size)
        (www / "cached").mkdir(exist_ok=True)
        (www / "cached" / "small.bin").write_bytes(os.urandom(SMALL_SIZE))
        (www / "cached" / "big.bin").write_bytes(os.urandom(CACHED_BIG_SIZE))
        (self.dir / "locations.conf").write_text(NGINX_LOCATIONS)
        write_pem(cert, self.dir, "good")
        self.ports = {"http1": free_port(), "https": free_port()}
        self.process = start_nginx(self.dir, self.ports, NGINX_SERVERS, settings=NGINX_SETTINGS,
                                   connections=4096, timeout=START_TIMEOUT)

    def url(self, kind, path):
        scheme = "https" if kind == "https" else "http"
        return f"{scheme}://{HOST}:{self.ports[kind]}{path}"

    def version(self):
        out = subprocess.run(["nginx", "-v"], capture_output=True, text=True)
        return (out.stderr or out.stdout).strip().split("/")[-1]

    def stop(self):
        self.process.stop()


# HTTP/3 and HTTP/2 on one port number, QUIC on UDP beside TLS on TCP, so that
# both protocols meet the same server. No Alt-Svc: each client is told which
# protocol to use. A stream buffer of 1 MiB instead of 64 KiB lets a download
# move more than one small window per round trip.
NGINX_H3_SERVERS = """
  server {{
    listen {host}:{port} ssl;
    listen {host}:{port} quic reuseport;
    http2 on;
    http3 on;
    http3_stream_buffer_size 1m;
    ssl_certificate {dir}/good.pem; ssl_certificate_key {dir}/good.key;
    location / {{ add_header Cache-Control no-store always; }}
  }}
"""
NGINX_H3_SETTINGS = """
  keepalive_timeout 300s;
  http2_max_concurrent_streams 128;
  http3_max_concurrent_streams 128;
"""
NGINX_H3 = HERE.parent / "build" / "bench-nginx" / "root" / "usr" / "sbin" / "nginx"


class NginxH3:
    """Serves /small.bin (1 KiB) and /big.bin (a sparse file of `big_size`),
    no-store, over HTTP/3 and over HTTP/2 (TLS) on one port, with the nginx
    binary `binary` (one that has the HTTP/3 module) in one process: `pid` is
    the process whose CPU time is the server's."""

    def __init__(self, workdir, cert, big_size, binary=NGINX_H3):
        self.binary = str(binary)
        self.dir = Path(workdir)
        www = self.dir / "www"
        www.mkdir(parents=True, exist_ok=True)
        (self.dir / "tmp").mkdir(exist_ok=True)
        (www / "small.bin").write_bytes(os.urandom(SMALL_SIZE))
        sparse_file(www / "big.bin", big_size)
        write_pem(cert, self.dir, "good")
        self.port = free_port()
        conf = NGINX_CONF.format(
            dir=self.dir, user="user root;" if os.geteuid() == 0 else "", connections=4096,
            settings=NGINX_H3_SETTINGS.strip("\n"),
            servers=NGINX_H3_SERVERS.format(dir=self.dir, host=HOST, port=self.port).strip("\n"))
        (self.dir / "nginx.conf").write_text(conf)
        # -e: the binary's built-in error log is in a folder this nginx may not have.
        args = [self.binary, "-c", str(self.dir / "nginx.conf"), "-p", str(self.dir),
                "-e", str(self.dir / "error.log")]
        self.process = Process(args, [self.port], self.dir / "nginx.out", timeout=START_TIMEOUT)

    @property
    def pid(self):
        return self.process.proc.pid

    def url(self, path):
        return f"https://{HOST}:{self.port}{path}"

    def version(self):
        out = subprocess.run([self.binary, "-v"], capture_output=True, text=True)
        return (out.stderr or out.stdout).strip().split("/")[-1]

    def stop(self):
        self.process.stop()


class EchoServer:
    """The echo server of ws_server.py, in a process of its own."""

    def __init__(self, workdir):
        self.port = free_port()
        self.process = Process([sys.executable, str(HERE / "ws_server.py"), str(self.port)],
                               [self.port], Path(workdir) / "ws_server.out",
                               timeout=START_TIMEOUT)

    @property
    def url(self):
        return f"ws://{HOST}:{self.port}/"

    def stop(self):
        self.process.stop()
