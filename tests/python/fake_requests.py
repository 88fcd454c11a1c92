"""Scripting the stand-in Core's request callbacks from Python tests.

Each delivery runs `now` (on the calling thread), on the stand-in's own
delivery thread (`"post"`), or inside the next call of a named hv function on
the request (`"hv_request_resume_read"`, ...).
"""

import ctypes
import json
import os

_lib = ctypes.CDLL(os.environ["HALVANE_FAKE_CORE"], mode=ctypes.RTLD_GLOBAL)

_u8p = ctypes.c_char_p
_sigs = {
    "fake_request_response": (ctypes.c_int, [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int32, _u8p, ctypes.c_uint32]),
    "fake_request_body": (ctypes.c_int, [ctypes.c_uint64, ctypes.c_char_p, _u8p, ctypes.c_uint32]),
    "fake_request_redirect": (
        ctypes.c_int,
        [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int32, _u8p, ctypes.c_uint32, _u8p, ctypes.c_uint32, _u8p, ctypes.c_uint32],
    ),
    "fake_request_complete": (ctypes.c_int, [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int32, ctypes.c_int32]),
    "fake_request_complete_started": (ctypes.c_uint64, [ctypes.c_int32, ctypes.c_int32]),
    "fake_request_body_result_count": (ctypes.c_uint64, [ctypes.c_uint64]),
    "fake_request_body_result": (ctypes.c_int, [ctypes.c_uint64, ctypes.c_uint64]),
    "fake_request_upload_count": (ctypes.c_uint64, [ctypes.c_uint64]),
    "fake_request_upload_json": (ctypes.c_char_p, [ctypes.c_uint64, ctypes.c_uint64]),
    "fake_last_handle": (ctypes.c_uint64, [ctypes.c_char_p]),
    "fake_record_count": (ctypes.c_uint64, [ctypes.c_char_p]),
    "fake_record_json": (ctypes.c_char_p, [ctypes.c_char_p, ctypes.c_uint64]),
    "fake_wait_idle": (ctypes.c_int, []),
    "fake_post_sleep": (None, [ctypes.c_uint32]),
}
for _name, (_res, _args) in _sigs.items():
    _fn = getattr(_lib, _name)
    _fn.restype = _res
    _fn.argtypes = _args

# Core result codes.
OK = 0
CANCELED = 7
NETWORK = 8


def _when(when):
    return None if when in (None, "now") else when.encode()


def _buf(data):
    return None if data is None else bytes(data)


def _len(data):
    return 0 if data is None else len(data)


class FakeRequest:
    """The stand-in's side of one created request."""

    def __init__(self, handle):
        assert handle, "no request was created"
        self.handle = handle

    @classmethod
    def last(cls):
        return cls(_lib.fake_last_handle(b"request"))

    def response(self, status=200, headers=b"HTTP/1.1 200 OK\r\n\r\n", when="post"):
        assert _lib.fake_request_response(self.handle, _when(when), status, _buf(headers), _len(headers))
        return self

    def body(self, data, when="post"):
        assert _lib.fake_request_body(self.handle, _when(when), _buf(data), _len(data))
        return self

    def redirect(self, status=302, headers=b"", first=b"", second=b"", when="post"):
        assert _lib.fake_request_redirect(
            self.handle, _when(when), status, _buf(headers), _len(headers),
            _buf(first), _len(first), _buf(second), _len(second))
        return self

    def complete(self, code=OK, net_error=0, when="post"):
        assert _lib.fake_request_complete(self.handle, _when(when), code, net_error)
        return self

    def sleep(self, ms):
        _lib.fake_post_sleep(ms)
        return self

    def body_results(self):
        n = _lib.fake_request_body_result_count(self.handle)
        return [_lib.fake_request_body_result(self.handle, i) for i in range(n)]

    def uploads(self):
        """[(data or None when the pointer was NULL, final flag), ...]"""
        out = []
        for i in range(_lib.fake_request_upload_count(self.handle)):
            rec = json.loads(_lib.fake_request_upload_json(self.handle, i))
            data = None if rec["null"] else bytes.fromhex(rec["hex"])
            assert rec["len"] == (0 if data is None else len(data))
            out.append((data, rec["final"]))
        return out


def _text(t):
    """A captured (pointer, length) pair: None for a NULL pointer, else bytes."""
    data = None if t["null"] else bytes.fromhex(t["hex"])
    assert t["len"] == (0 if data is None else len(data)) or t["null"]
    return data


def last_request_record():
    """The newest hv_request_create record, texts as bytes or None (NULL)."""
    n = _lib.fake_record_count(b"request")
    assert n, "no request record"
    rec = json.loads(_lib.fake_record_json(b"request", n - 1))
    for key in ("url", "method", "body"):
        rec[key + "_len"] = rec[key]["len"]
        rec[key] = _text(rec[key])
    rec["headers"] = [(_text(n), _text(v)) for n, v in rec["headers"]]
    return rec


def wait_idle():
    _lib.fake_wait_idle()


def complete_all(code=CANCELED, net_error=-3):
    return _lib.fake_request_complete_started(code, net_error)


import pytest  # noqa: E402


@pytest.fixture(autouse=True)
def tidy_requests():
    """Ends every started request after the test, so nothing is left pending."""
    yield
    wait_idle()
    complete_all()
    wait_idle()
