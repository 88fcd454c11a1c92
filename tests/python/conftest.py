"""Binds the module to the stand-in Core before anything imports it.

HALVANE_FAKE_CORE names the stand-in's libhalvane.so.2. It is loaded
process-wide first, so the module's own libhalvane.so.2 dependency resolves to
it. STRANDEL_MODULE_DIR, when set, is where the module is imported from
(a build folder); otherwise the installed module is used.
"""

import os
import sys

import pytest

from fake_core import FakeCore

DEFAULT_VERSION = "fake-halvane 2.0"


def _load():
    path = os.environ.get("HALVANE_FAKE_CORE")
    if not path:
        pytest.exit("HALVANE_FAKE_CORE must name the stand-in Core's libhalvane.so.2", 2)
    try:
        fake = FakeCore(path)
    except (OSError, AttributeError) as error:
        pytest.exit(f"{path} is not the stand-in Core: {error}", 2)
    module_dir = os.environ.get("STRANDEL_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
    import strandel_native36

    fake.reset()
    version = strandel_native36.PyEngine.core_version()
    if version != DEFAULT_VERSION:
        pytest.exit(
            f"strandel_native36 from {strandel_native36.__file__} is bound to a Core "
            f"reporting {version!r}, not to the stand-in at {path}",
            2,
        )
    return fake, strandel_native36


_FAKE, _NATIVE = _load()


@pytest.fixture(scope="session")
def fake():
    return _FAKE


@pytest.fixture(scope="session")
def native():
    return _NATIVE


@pytest.fixture
def engine(native):
    """An engine on the stand-in Core with every option at its default."""
    return native.PyEngine()


@pytest.fixture(autouse=True)
def _reset_fake(fake):
    # Scripted callbacks of an earlier test must not land in this one.
    fake.wait_idle()
    fake.reset()
    yield
