"""Scripting the stand-in Core's WebSocket callbacks from Python tests."""

import ctypes
import json
import os

_lib = ctypes.CDLL(os.environ["HALVANE_FAKE_CORE"], mode=ctypes.RTLD_GLOBAL)
_b = ctypes.c_char_p
_u32, _i32, _u64 = ctypes.c_uint32, ctypes.c_int32, ctypes.c_uint64
for _name, _res, _args in [
    ("fake_websocket_open", ctypes.c_int, [_u64, _b, _u32, _b, _u32, ctypes.c_int]),
    ("fake_websocket_message", ctypes.c_int, [_u64, _i32, _i32, _b, _u32, ctypes.c_int]),
    ("fake_websocket_closing", ctypes.c_int, [_u64, ctypes.c_int]),
    ("fake_websocket_closed", ctypes.c_int, [_u64, _i32, _u32, _b, _u32, ctypes.c_int]),
    ("fake_websocket_failure", ctypes.c_int, [_u64, _i32, _i32, _i32, _b, _u32, ctypes.c_int]),
    ("fake_websocket_send_count", _u64, []),
    ("fake_websocket_send_json", _b, [_u64]),
    ("fake_websocket_close_count", _u64, []),
    ("fake_websocket_close_json", _b, [_u64]),
    ("fake_websocket_reset", None, []),
    ("fake_last_handle", _u64, [_b]),
    ("fake_record_count", _u64, [_b]),
    ("fake_record_json", _b, [_b, _u64]),
    ("fake_wait_idle", ctypes.c_int, []),
]:
    _fn = getattr(_lib, _name)
    _fn.restype, _fn.argtypes = _res, _args


def _text(t):
    return None if t["null"] else bytes.fromhex(t["hex"])


class FakeWebSocket:
    """The stand-in's side of one created WebSocket. Deliveries run on the
    stand-in's own thread unless `now=True`."""

    def __init__(self, handle):
        assert handle, "no WebSocket was created"
        self.handle = handle

    @classmethod
    def last(cls):
        return cls(_lib.fake_last_handle(b"websocket"))

    def open(self, protocol=b"", extensions=b"", now=False):
        assert _lib.fake_websocket_open(self.handle, protocol, len(protocol), extensions,
                                        len(extensions), int(not now))
        return self

    def message(self, data, type_=1, fin=1, now=False):
        assert _lib.fake_websocket_message(self.handle, type_, fin, data, len(data), int(not now))
        return self

    def closing(self, now=False):
        assert _lib.fake_websocket_closing(self.handle, int(not now))
        return self

    def closed(self, code=1000, reason=b"", clean=1, now=False):
        assert _lib.fake_websocket_closed(self.handle, clean, code, reason, len(reason), int(not now))
        return self

    def failure(self, code=8, net_error=-105, response=0, message=b"", now=False):
        assert _lib.fake_websocket_failure(self.handle, code, net_error, response, message,
                                           len(message), int(not now))
        return self


def wait_idle():
    _lib.fake_wait_idle()


def sends():
    """[(type, data or None when NULL), ...] since the last reset."""
    out = []
    for i in range(_lib.fake_websocket_send_count()):
        rec = json.loads(_lib.fake_websocket_send_json(i))
        out.append((rec["type"], _text(rec["data"])))
    return out


def closes():
    """[(code, reason or None when NULL), ...] since the last reset."""
    out = []
    for i in range(_lib.fake_websocket_close_count()):
        rec = json.loads(_lib.fake_websocket_close_json(i))
        out.append((rec["code"], _text(rec["reason"])))
    return out


def last_record():
    n = _lib.fake_record_count(b"websocket")
    rec = json.loads(_lib.fake_record_json(b"websocket", n - 1))
    for key in ("url", "origin"):
        rec[key] = _text(rec[key])
    rec["protocols"] = [_text(p) for p in rec["protocols"]]
    rec["headers"] = [(_text(n), _text(v)) for n, v in rec["headers"]]
    return rec


def reset():
    _lib.fake_websocket_reset()
