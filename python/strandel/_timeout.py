"""Timeout: how long each phase of an exchange may wait, as httpx has it.

`connect` bounds connecting (when the Core can bound it alone, see
``_native.has_extension("connect_timeout")``; otherwise the wait for the
response head, bounded by `read`, covers connecting too). `read` bounds each
wait for the next piece of the response: the head, then every body chunk; a
body that keeps arriving never times out. `write` bounds each wait for room
to send the next piece of a streamed request body. `pool` is accepted for
httpx's sake: requests never queue for a connection here, so nothing waits
on it."""

from __future__ import annotations

import math
from typing import Any, Optional, Tuple, Union

# Seconds, or None for no bound.
Seconds = Optional[float]


class _Unset:
    def __repr__(self) -> str:
        return "UNSET"


_UNSET: Any = _Unset()


def seconds(value: Any, name: str) -> Seconds:
    """`value` checked as a bound in seconds: None, or a finite number >= 0."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, "
                        f"not {type(value).__name__}")
    if not (math.isfinite(value) and value >= 0):
        raise ValueError(f"{name} must be a finite number of seconds >= 0, not {value!r}")
    return float(value)


class Timeout:
    """``Timeout(5.0)`` bounds every phase by 5 s; ``Timeout(5.0, connect=1)``
    all but connect; ``Timeout(connect=1, read=5, write=5, pool=1)`` each
    one; ``Timeout(None)`` none. A tuple ``(connect, read, write, pool)`` is
    taken as httpx takes it, and a pair ``(connect, read)`` as requests takes
    it (write then takes `read`, pool `connect`)."""

    __slots__ = ("connect", "read", "write", "pool")

    def __init__(self, timeout: Union["TimeoutTypes", Any] = _UNSET, *,
                 connect: Seconds = _UNSET, read: Seconds = _UNSET, write: Seconds = _UNSET,
                 pool: Seconds = _UNSET) -> None:
        given = {"connect": connect, "read": read, "write": write, "pool": pool}
        if isinstance(timeout, Timeout):
            if any(v is not _UNSET for v in given.values()):
                raise TypeError("give a Timeout alone, or a default and phases, not both")
            base: Tuple[Seconds, ...] = timeout.as_tuple()
        elif isinstance(timeout, tuple):
            if any(v is not _UNSET for v in given.values()):
                raise TypeError("give a tuple of timeouts alone, or a default and phases, "
                                "not both")
            if len(timeout) == 4:
                base = tuple(seconds(v, f"timeout[{i}]") for i, v in enumerate(timeout))
            elif len(timeout) == 2:
                connect_s, read_s = (seconds(v, f"timeout[{i}]") for i, v in enumerate(timeout))
                base = (connect_s, read_s, read_s, connect_s)
            else:
                raise ValueError(f"a timeout tuple is (connect, read) or (connect, read, write, "
                                 f"pool), not {len(timeout)} items")
        elif timeout is _UNSET:
            missing = [name for name, v in given.items() if v is _UNSET]
            if missing:
                raise ValueError("Timeout needs a default, as in Timeout(5.0), or all four of "
                                 "connect, read, write and pool; missing: " + ", ".join(missing))
            base = (None, None, None, None)
        else:
            default = seconds(timeout, "timeout")
            base = (default, default, default, default)
        values = [base[i] if v is _UNSET else seconds(v, name)
                  for i, (name, v) in enumerate(given.items())]
        self.connect, self.read, self.write, self.pool = values

    def as_tuple(self) -> Tuple[Seconds, Seconds, Seconds, Seconds]:
        return (self.connect, self.read, self.write, self.pool)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Timeout) and self.as_tuple() == other.as_tuple()

    def __hash__(self) -> int:
        return hash(self.as_tuple())

    def __repr__(self) -> str:
        c, r, w, p = self.as_tuple()
        if c == r == w == p:
            return f"Timeout(timeout={c})"
        return f"Timeout(connect={c}, read={r}, write={w}, pool={p})"


TimeoutTypes = Union[None, float, int, Tuple[Seconds, Seconds],
                     Tuple[Seconds, Seconds, Seconds, Seconds], Timeout]

# As httpx: five seconds for every phase unless the caller says otherwise.
DEFAULT_TIMEOUT = Timeout(5.0)


def to_timeout(value: Any) -> Timeout:
    """A `timeout=` argument as a Timeout."""
    return value if isinstance(value, Timeout) else Timeout(value)
