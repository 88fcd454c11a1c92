"""HTTP/3 tests against a server started outside this interpreter (by
tests/python/net/h3_serve.py), for interpreters that cannot run the servers
themselves: the 32-bit pass. STRANDEL_H3_SERVER names the server's
server.json; without it these tests are not collected."""

import ctypes
import json
import os
import sys
from pathlib import Path

import pytest

if not os.environ.get("STRANDEL_H3_SERVER"):
    collect_ignore_glob = ["test_*.py"]

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "net"))


@pytest.fixture(scope="session")
def native():
    module_dir = Path(os.environ.get("STRANDEL_MODULE_DIR", "."))
    # The networked Core, whatever the library path says.
    ctypes.CDLL(str(module_dir / "libhalvane" / "libhalvane.so.2"), mode=ctypes.RTLD_GLOBAL)
    sys.path.insert(0, str(module_dir))
    import strandel_native36

    assert strandel_native36.PyEngine.core_version().startswith("halvane/")
    return strandel_native36


@pytest.fixture(scope="session")
def h3_server():
    info = json.loads(Path(os.environ["STRANDEL_H3_SERVER"]).read_text())
    return f"https://127.0.0.1:{info['port']}", Path(info["ca"]).read_bytes()
