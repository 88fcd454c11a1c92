"""A profile namespace lives as long as the engines of the process that use
it: once the last is gone, the next engine naming it opens its file anew and
checks it, as a new process would."""

from __future__ import annotations

import pytest


def test_a_namespace_overwritten_after_its_last_engine_is_refused_as_it_is(native, state,
                                                                            namespace):
    first = native.PyEngine(profile_namespace=namespace)
    second = native.PyEngine(profile_namespace=namespace)
    del first, second
    path = state / "halvane" / "profiles" / f"{namespace}.sqlite3"
    garbage = b"not a database at all\n" * 200
    path.write_bytes(garbage)
    with pytest.raises(RuntimeError, match="^InitializationFailed$"):
        native.PyEngine(profile_namespace=namespace)
    assert path.read_bytes() == garbage
