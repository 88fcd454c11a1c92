"""The source tree's layering: libhalvane's folders include only from the
folders below them, and neither Core reaches into the client or Python layers."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Top to bottom; the README's layout table lists them in this order.
CORE_ORDER = ["api", "transfer", "websocket", "engine", "namespaces", "cache", "tls",
              "profiles", "base"]
INCLUDE = re.compile(r'#include "([^"/]+)/[^"]+"')


def includes(folder):
    for path in sorted(folder.rglob("*")):
        if path.suffix in (".h", ".cpp"):
            for line in path.read_text().splitlines():
                if m := INCLUDE.match(line):
                    yield path.relative_to(ROOT), m.group(1)


def test_core_folders_include_downwards_only():
    wrong = [(str(path), target) for path, target in includes(ROOT / "libhalvane")
             if target in CORE_ORDER
             and CORE_ORDER.index(target) < CORE_ORDER.index(path.parts[1])]
    assert wrong == []
    assert sorted(p.name for p in (ROOT / "libhalvane").iterdir() if p.is_dir()) == \
        sorted(CORE_ORDER + ["patches"])


def test_cores_see_only_the_interface_header():
    for core in ("libhalvane", "tests/fake_core"):
        reached = {target for _, target in includes(ROOT / core)} - set(CORE_ORDER)
        assert reached <= {"halvane"}, core
