"""Fixtures for the tests of the networked Core: the module bound to the real
libhalvane.so.2, and local servers on 127.0.0.1 that the tests start."""

import ctypes
import importlib.util
import os
import sys
import uuid
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import certs  # noqa: E402
import servers  # noqa: E402
import peers  # noqa: E402

if os.environ.get("HALVANE_FAKE_CORE"):
    # The module is bound to the stand-in Core in such a run.
    collect_ignore_glob = ["test_*.py"]


def _load_module():
    module_dir = os.environ.get("STRANDEL_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
    else:
        spec = importlib.util.find_spec("strandel_native36")
        module_dir = os.path.dirname(spec.origin) if spec and spec.origin else None
    # Load the real Core first, so that the module binds to it whatever the
    # library path says (a build tree keeps it in a folder of its own).
    for candidate in (Path(module_dir or ".") / "libhalvane.so.2",
                      Path(module_dir or ".") / "libhalvane" / "libhalvane.so.2"):
        if module_dir and candidate.exists():
            ctypes.CDLL(str(candidate), mode=ctypes.RTLD_GLOBAL)
            break
    import strandel_native36

    return strandel_native36


@pytest.fixture(scope="session")
def native():
    module = _load_module()
    version = module.PyEngine.core_version() or ""
    if not version.startswith("halvane/"):
        pytest.fail(f"the module is bound to another Core ({version!r}); "
                    "unset HALVANE_FAKE_CORE and LD_LIBRARY_PATH", pytrace=False)
    return module


@pytest.fixture(scope="session")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("net")


@pytest.fixture(scope="session")
def trust():
    pytest.importorskip("trustme")
    return certs.make_certificates()


@pytest.fixture(scope="session")
def ca_pem(trust):
    return trust[0].cert_pem.bytes()


@pytest.fixture(scope="session")
def nginx(workdir, trust):
    if not servers.have("nginx"):
        pytest.skip("nginx is not installed")
    server = servers.Nginx(workdir / "nginx", trust[1])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def app(workdir, trust):
    pytest.importorskip("hypercorn")
    server = servers.Hypercorn(workdir / "app", trust[1]["good"])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def h3app(workdir, trust):
    """The app with HTTP/3 beside TCP on the same port number."""
    pytest.importorskip("hypercorn")
    pytest.importorskip("aioquic")
    server = servers.Hypercorn(workdir / "h3app", trust[1]["good"], quic=True)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def proxy(workdir, nginx):
    if not servers.have("tinyproxy"):
        pytest.skip("tinyproxy is not installed")
    server = servers.Tinyproxy(workdir / "proxy", connect_port=nginx.ports["https"])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def peer():
    server = servers.ScriptedServer(peers.BEHAVIOURS)
    yield server
    server.stop()


@pytest.fixture
def engine(native):
    return native.PyEngine()


@pytest.fixture
def tls_engine(native, ca_pem):
    return native.PyEngine(ca_pem=ca_pem)


# ---- WebSocket servers -----------------------------------------------------------

@pytest.fixture(scope="session")
def ws_servers_module():
    pytest.importorskip("websockets")
    import ws_servers

    return ws_servers


@pytest.fixture(scope="session")
def ws_server(ws_servers_module):
    server = ws_servers_module.WsServer()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def wss_servers(ws_servers_module, trust):
    """TLS WebSocket servers by certificate: "good", "wrong_name", "expired"."""
    made = {name: ws_servers_module.WsServer(certs.server_context(cert))
            for name, cert in trust[1].items()}
    yield made
    for server in made.values():
        server.stop()


@pytest.fixture(scope="session")
def ws_proxy(workdir, ws_server, wss_servers):
    if not servers.have("tinyproxy"):
        pytest.skip("tinyproxy is not installed")
    server = servers.Tinyproxy(workdir / "ws-proxy",
                               connect_port=[ws_server.port, wss_servers["good"].port])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def tls_proxy(ws_servers_module, trust):
    server = ws_servers_module.TlsConnectProxy(trust[1]["good"])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def socks_proxy(ws_servers_module):
    server = ws_servers_module.Socks5Proxy()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def ws_peer(ws_servers_module):
    server = servers.ScriptedServer(ws_servers_module.RAW_BEHAVIOURS)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def origin():
    """A scripted origin that counts and records requests (cache_server.py)."""
    from cache_server import CacheServer
    server = CacheServer()
    yield server
    server.stop()


@pytest.fixture
def state(tmp_path, monkeypatch):
    """A state folder of this test alone; the Core reads it when it opens a
    namespace."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    return tmp_path


@pytest.fixture
def namespace(state):
    """A profile namespace of this test alone, under its own state folder."""
    return f"ns-{uuid.uuid4().hex[:12]}"
