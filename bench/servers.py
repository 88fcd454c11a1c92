"""Local servers for the benchmarks, all on 127.0.0.1: nginx (HTTP/1.1 in clear
text, HTTPS with HTTP/2) and a `websockets` echo server, with a certificate
made for the run."""

import os
import socket
import subprocess
import sys
import time
from pathlib import Path

HOST = "127.0.0.1"
HERE = Path(__file__).resolve().parent
SMALL_SIZE = 1024
BIG_SIZE = 256 * 1024 * 1024


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


class Process:
    def __init__(self, args, ports, log):
        self.log = open(log, "wb")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        try:
            for port in ports:
                wait_for_port(port, self.proc)
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


def make_certificate(workdir):
    """A CA of our own and a server certificate for 127.0.0.1; returns the
    paths of the CA bundle, the certificate and its key."""
    import trustme

    ca = trustme.CA()
    cert = ca.issue_cert(HOST, "localhost")
    paths = {name: Path(workdir) / f"{name}.pem" for name in ("ca", "cert", "key")}
    ca.cert_pem.write_to_path(str(paths["ca"]))
    cert.cert_chain_pems[0].write_to_path(str(paths["cert"]))
    cert.private_key_pem.write_to_path(str(paths["key"]))
    return paths


NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
{user}
error_log {dir}/error.log error;
pid {dir}/nginx.pid;
events {{ worker_connections 4096; }}
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
  keepalive_timeout 300s;
  http2_max_requests 1000000;
  http2_max_concurrent_streams 128;
  root {dir}/www;
  server {{ listen {host}:{http1}; }}
  server {{
    listen {host}:{https} ssl http2;
    ssl_certificate {cert}; ssl_certificate_key {key};
  }}
}}
"""


class Nginx:
    """Serves /small.bin (1 KiB) and /big.bin (256 MiB unless told, a sparse
    file: no disk time)."""

    def __init__(self, workdir, certs, big_size=BIG_SIZE):
        self.dir = Path(workdir)
        (self.dir / "tmp").mkdir(parents=True, exist_ok=True)
        www = self.dir / "www"
        www.mkdir(exist_ok=True)
        (www / "small.bin").write_bytes(os.urandom(SMALL_SIZE))
        with open(www / "big.bin", "wb") as f:
            f.truncate(big_size)
        self.ports = {"http1": free_port(), "https": free_port()}
        conf = NGINX_CONF.format(dir=self.dir, host=HOST, cert=certs["cert"], key=certs["key"],
                                 user="user root;" if os.geteuid() == 0 else "", **self.ports)
        (self.dir / "nginx.conf").write_text(conf)
        self.process = Process(["nginx", "-c", str(self.dir / "nginx.conf"), "-p", str(self.dir)],
                               self.ports.values(), self.dir / "nginx.out")

    def url(self, kind, path):
        scheme = "https" if kind == "https" else "http"
        return f"{scheme}://{HOST}:{self.ports[kind]}{path}"

    def version(self):
        out = subprocess.run(["nginx", "-v"], capture_output=True, text=True)
        return (out.stderr or out.stdout).strip().split("/")[-1]

    def stop(self):
        self.process.stop()


class EchoServer:
    """The `websockets` echo server of ws_server.py, in a process of its own."""

    def __init__(self, workdir):
        self.port = free_port()
        self.process = Process([sys.executable, str(HERE / "ws_server.py"), str(self.port)],
                               [self.port], Path(workdir) / "ws_server.out")

    @property
    def url(self):
        return f"ws://{HOST}:{self.port}/"

    def stop(self):
        self.process.stop()
