"""The strandel package for the tests of its own logic: the installed one,
else the source tree's (the i386 pass installs none). Imported after the
conftest has bound the native module to the stand-in Core."""

import sys
from pathlib import Path

try:
    import strandel
except ImportError:
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import strandel

# The entry the package's requests are created through: a Core that bounds
# connecting takes them through its extension entry, where the stand-in
# scripts results under that entry's name.
from strandel import _native  # noqa: E402

REQUEST_CREATE = ("hv_ext_request_create" if _native.has_extension("connect_timeout")
                  else "hv_request_create")

__all__ = ["REQUEST_CREATE", "strandel"]
