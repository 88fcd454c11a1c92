"""ctypes access to the stand-in Core's control functions.

Every control function is declared once in ``_SIGNATURES`` (result type and
argument types); ``FakeCore`` wraps them with Python-friendly methods. To
support a new control function, add its signature and a method.
"""

import ctypes
import json
from dataclasses import dataclass

_c = ctypes
_SIGNATURES = {
    "fake_reset": (None, []),
    "fake_set_abi": (None, [_c.c_uint32]),
    "fake_set_version": (None, [_c.c_char_p, _c.c_uint32, _c.c_int]),
    "fake_push_result": (None, [_c.c_char_p, _c.c_int32]),
    "fake_push_handle": (None, [_c.c_char_p, _c.c_uint64]),
    "fake_call_count": (_c.c_uint64, [_c.c_char_p]),
    "fake_misuse_count": (_c.c_uint64, []),
    "fake_record_count": (_c.c_uint64, [_c.c_char_p]),
    "fake_record_json": (_c.c_char_p, [_c.c_char_p, _c.c_uint64]),
    "fake_last_handle": (_c.c_uint64, [_c.c_char_p]),
    "fake_live_count": (_c.c_uint64, [_c.c_char_p]),
    "fake_wait_idle": (_c.c_int, []),
}


@dataclass(frozen=True)
class Blob:
    """A (pointer, length) pair as the stand-in received it."""

    null: bool
    len: int
    data: bytes

    @classmethod
    def of(cls, data):
        """A non-NULL pointer to ``data``."""
        return cls(False, len(data), bytes(data))


NULL = Blob(True, 0, b"")


def _blobs(value):
    """Turns every {"null", "len", "hex"} object of a record into a Blob."""
    if isinstance(value, dict):
        if set(value) == {"null", "len", "hex"}:
            return Blob(value["null"], value["len"], bytes.fromhex(value["hex"]))
        return {key: _blobs(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_blobs(item) for item in value]
    return value


def _name(text):
    return text.encode() if isinstance(text, str) else text


class FakeCore:
    """The stand-in Core loaded from ``path`` (its ``libhalvane.so.2``)."""

    def __init__(self, path, mode=ctypes.RTLD_GLOBAL):
        self.lib = ctypes.CDLL(path, mode=mode)
        for fn, (restype, argtypes) in _SIGNATURES.items():
            func = getattr(self.lib, fn)
            func.restype = restype
            func.argtypes = argtypes

    def reset(self):
        self.lib.fake_reset()

    def set_abi(self, abi):
        self.lib.fake_set_abi(abi)

    def set_version(self, text):
        """``text``: bytes for hv_version_string, or None for NULL."""
        if text is None:
            self.lib.fake_set_version(None, 0, 1)
        else:
            self.lib.fake_set_version(bytes(text), len(text), 0)

    def push_result(self, fn, code):
        self.lib.fake_push_result(_name(fn), code)

    def push_handle(self, fn, handle):
        self.lib.fake_push_handle(_name(fn), handle)

    def call_count(self, fn):
        return self.lib.fake_call_count(_name(fn))

    def misuse_count(self):
        return self.lib.fake_misuse_count()

    def records(self, kind):
        """Every create record of ``kind`` ("engine", "request", "websocket")."""
        count = self.lib.fake_record_count(_name(kind))
        return [
            _blobs(json.loads(self.lib.fake_record_json(_name(kind), i))) for i in range(count)
        ]

    def last_record(self, kind):
        records = self.records(kind)
        assert records, f"no {kind} record"
        return records[-1]

    def last_handle(self, kind):
        return self.lib.fake_last_handle(_name(kind))

    def live_count(self, kind):
        return self.lib.fake_live_count(_name(kind))

    def wait_idle(self):
        self.lib.fake_wait_idle()
