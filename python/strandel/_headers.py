"""Case-insensitive multi-valued headers, and the parser of the Core's raw
response header block."""

from __future__ import annotations

from typing import (Dict, Iterator, List, Mapping, MutableMapping, Optional, Sequence, Tuple,
                    Union)

from . import _checks

HeaderTypes = Union["Headers", Mapping[str, str], Mapping[bytes, bytes],
                    Sequence[Tuple[str, str]], Sequence[Tuple[bytes, bytes]], None]


def _decode(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


class Headers(MutableMapping[str, str]):
    """Headers in their order, duplicates kept, names matched without regard
    to case. ``headers[name]`` joins repeated values with ", "
    (``get_list`` gives them apart); ``multi_items()`` gives every pair with
    its original spelling. Names and values are checked as they come in:
    str or bytes (UTF-8), names tokens, values without CR, LF or NUL."""

    def __init__(self, headers: HeaderTypes = None) -> None:
        self._items: List[Tuple[str, str]] = []
        if headers is None:
            return
        if isinstance(headers, Headers):
            self._items = list(headers._items)
        else:
            self._items = [_checks.header(k, v) for k, v in _checks.header_pairs(headers)]

    @classmethod
    def _trusted(cls, items: List[Tuple[str, str]]) -> "Headers":
        """Headers of pairs that need no check (parsed from a response, or
        copied from checked headers)."""
        headers = cls.__new__(cls)
        headers._items = items
        return headers

    def multi_items(self) -> List[Tuple[str, str]]:
        return list(self._items)

    def get_list(self, name: str) -> List[str]:
        key = name.lower()
        return [v for k, v in self._items if k.lower() == key]

    def __getitem__(self, name: str) -> str:
        values = self.get_list(name)
        if not values:
            raise KeyError(name)
        return ", ".join(values)

    def __setitem__(self, name: str, value: str) -> None:
        """Replaces every value of `name` by one, at the first one's place."""
        name, value = _checks.header(name, value)
        key = name.lower()
        kept: List[Tuple[str, str]] = []
        placed = False
        for k, v in self._items:
            if k.lower() == key:
                if not placed:
                    kept.append((name, value))
                    placed = True
            else:
                kept.append((k, v))
        if not placed:
            kept.append((name, value))
        self._items = kept

    def __delitem__(self, name: str) -> None:
        key = name.lower()
        if not any(k.lower() == key for k, _ in self._items):
            raise KeyError(name)
        self._items = [(k, v) for k, v in self._items if k.lower() != key]

    def add(self, name: str, value: str) -> None:
        """Appends a value, keeping those already there."""
        self._items.append(_checks.header(name, value))

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        key = name.lower()
        return any(k.lower() == key for k, _ in self._items)

    def __iter__(self) -> Iterator[str]:
        return iter(self.keys())

    def keys(self) -> List[str]:  # type: ignore[override]
        """Distinct names, lower case, in order of first appearance."""
        seen: Dict[str, None] = {}
        for k, _ in self._items:
            seen.setdefault(k.lower(), None)
        return list(seen)

    def values(self) -> List[str]:  # type: ignore[override]
        return [self[k] for k in self.keys()]

    def items(self) -> List[Tuple[str, str]]:  # type: ignore[override]
        """One pair per distinct name, values joined as for ``headers[name]``."""
        return [(k, self[k]) for k in self.keys()]

    def __len__(self) -> int:
        return len(self.keys())

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (Mapping, list, tuple)):
            try:
                other = Headers(other)
            except (TypeError, ValueError):
                return False  # no valid headers equal it
        if not isinstance(other, Headers):
            return NotImplemented
        return sorted((k.lower(), v) for k, v in self._items) == \
            sorted((k.lower(), v) for k, v in other._items)

    def copy(self) -> "Headers":
        headers = Headers.__new__(Headers)  # the pairs are checked already
        headers._items = list(self._items)
        return headers

    def update(self, other: HeaderTypes = None, **kwargs: str) -> None:  # type: ignore[override]
        for k, v in Headers(other).items():
            self[k] = v
        for k, v in kwargs.items():
            self[k] = v

    def __repr__(self) -> str:
        return f"Headers({self._items!r})"


class StatusLine:
    __slots__ = ("http_version", "status_code", "reason_phrase")

    def __init__(self, http_version: str, status_code: int, reason_phrase: str) -> None:
        self.http_version = http_version
        self.status_code = status_code
        self.reason_phrase = reason_phrase


def parse_status_line(block: bytes) -> Optional[StatusLine]:
    """The status line of a raw head, as parse_head gives it, without
    parsing the header lines."""
    end = block.find(b"\n")
    first = block if end < 0 else block[:end]
    if first[-1:] == b"\r":
        first = first[:-1]
    if not first.startswith(b"HTTP/"):
        return None
    parts = first.split(b" ", 2)
    version = parts[0].decode("latin-1")
    code = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
    reason = _decode(parts[2]).strip() if len(parts) > 2 else ""
    return StatusLine(version, code, reason)


def parse_head(block: bytes) -> Tuple[Optional[StatusLine], Headers]:
    """Splits a raw head ("HTTP/1.1 200 OK\\r\\nName: value\\r\\n...\\r\\n\\r\\n")
    into its status line and headers. Continuation lines (obsolete folding)
    join the previous value; lines without a colon are skipped."""
    lines = block.replace(b"\r\n", b"\n").split(b"\n")
    status: Optional[StatusLine] = None
    if lines and lines[0].startswith(b"HTTP/"):
        parts = lines.pop(0).split(b" ", 2)
        version = parts[0].decode("latin-1")
        code = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        reason = _decode(parts[2]).strip() if len(parts) > 2 else ""
        status = StatusLine(version, code, reason)
    items: List[Tuple[str, str]] = []
    for line in lines:
        if not line:
            continue
        if line[:1] in (b" ", b"\t") and items:
            prev_name, prev_value = items[-1]
            items[-1] = (prev_name, (prev_value + " " + _decode(line.strip())).strip())
            continue
        raw_name, sep, raw_value = line.partition(b":")
        if not sep:
            continue
        items.append((_decode(raw_name.strip()), _decode(raw_value.strip())))
    return status, Headers._trusted(items)
