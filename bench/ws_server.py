"""WebSocket echo server for the benchmarks: the tests' WsServer (its every
path but a few named ones echoes each message as it came), with compression
off so that every client moves the same bytes.
Run: python ws_server.py PORT"""

import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python" / "net"))

from ws_servers import WsServer  # noqa: E402


def main(port):
    WsServer(port=port, compression=None, max_queue=64, write_limit=8 * 1024 * 1024)
    # The server runs on a thread of its own; SIGTERM ends the process.
    threading.Event().wait()


if __name__ == "__main__":
    main(int(sys.argv[1]))
