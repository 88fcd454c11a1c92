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

__all__ = ["strandel"]
