"""Serves the test app over HTTP/3 (and TCP, on the same port number) for a
test run in another interpreter, which may lack the server's packages: the
32-bit pass runs its HTTP/3 tests against this.

    python h3_serve.py DIR

writes DIR/server.json ({"port": ..., "ca": path of the CA's PEM}) once the
server listens, and serves until SIGTERM or SIGINT.
"""

import json
import signal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import certs  # noqa: E402
import servers  # noqa: E402


def main(directory):
    # Ends the wait below with the server stopped, not orphaned.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    ca, issued = certs.make_certificates()
    ca_path = directory / "ca.pem"
    ca.cert_pem.write_to_path(str(ca_path))
    server = servers.Hypercorn(directory / "h3app", issued["good"], quic=True)
    try:
        info = {"port": server.tls_port, "ca": str(ca_path)}
        (directory / "server.json.new").write_text(json.dumps(info))
        (directory / "server.json.new").rename(directory / "server.json")
        signal.pause()
    finally:
        server.stop()


if __name__ == "__main__":
    main(sys.argv[1])
