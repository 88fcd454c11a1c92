"""Streamed uploads, resume, cancel and completion."""

import pytest

from fake_requests import CANCELED, FakeRequest, tidy_requests  # noqa: F401

URL = "http://127.0.0.1/up"


@pytest.fixture
def streamed(native):
    req = native.PyEngine().request("POST", URL, chunked=True)
    return req, FakeRequest.last()


def test_uploads_reach_the_core_byte_exact(streamed):
    req, core = streamed
    req.start()
    req.upload_write(b"\x00\x01\xff", False)
    req.upload_write(bytearray(b"abc"), final_chunk=False)
    req.upload_write(data=[0, 255, 10], final_chunk=False)
    req.upload_write(b"", True)
    req.upload_finish()
    assert core.uploads() == [
        (b"\x00\x01\xff", 0), (b"abc", 0), (b"\x00\xff\n", 0),
        (None, 1),  # empty data goes as NULL with the final flag
        (None, 1),
    ]


@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    ((b"x",), {}, TypeError, "PyRequest.upload_write() missing 1 required positional argument: 'final_chunk'"),
    ((b"x", 1), {}, TypeError, "argument 'final_chunk': 'int' object cannot be converted to 'PyBool'"),
    (([256], True), {}, OverflowError, "out of range integral type conversion attempted"),
    (([-1], True), {}, OverflowError, "out of range integral type conversion attempted"),
    ((None, True), {}, TypeError, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
    ((b"x", True, 3), {}, TypeError, "PyRequest.upload_write() takes 2 positional arguments but 3 were given"),
])
def test_conversion_errors_send_nothing(streamed, fake, args, kwargs, exc_type, message):
    req, core = streamed
    req.start()
    with pytest.raises(exc_type) as exc:
        req.upload_write(*args, **kwargs)
    assert type(exc.value) is exc_type and str(exc.value) == message
    assert core.uploads() == []
    assert fake.call_count("hv_request_upload_write") == 0


def test_core_refusals_are_raised(streamed, fake):
    req, _ = streamed
    fake.push_result("hv_request_upload_write", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        req.upload_write(b"x", False)
    fake.push_result("hv_request_upload_write", -7)
    with pytest.raises(RuntimeError, match="^native error -7$"):
        req.upload_finish()
    fake.push_result("hv_request_resume_read", 1)
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        req.resume_read()
    assert req.resume_read() is None
    assert fake.call_count("hv_request_resume_read") == 2


@pytest.mark.parametrize("refusal", [None, 5])
def test_cancel_finishes_even_when_the_core_refuses(streamed, fake, refusal):
    req, core = streamed
    req.start()
    if refusal:
        fake.push_result("hv_request_cancel", refusal)
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            req.cancel()
    else:
        assert req.cancel() is None
    assert fake.call_count("hv_request_cancel") == 1
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()


def test_cancel_before_start(streamed, fake):
    req, _ = streamed
    assert req.cancel() is None
    assert fake.call_count("hv_request_cancel") == 1


def test_is_finished_follows_completion(native):
    for code, net in [(0, 0), (CANCELED, -3)]:
        req = native.PyEngine().request("GET", URL)
        core = FakeRequest.last()
        assert req.is_finished() is False
        req.start()
        assert req.is_finished() is False
        core.complete(code, net, when="now")
        assert req.is_finished() is True


def test_body_stream_stays_readable_after_cancel(native):
    req = native.PyEngine().request("GET", URL)
    core = FakeRequest.last()
    req.start()
    core.response(when="now").body(b"part", when="now")
    req.await_response()
    core.complete(CANCELED, -3, when="hv_request_cancel")
    req.cancel()
    assert req.next_body() == list(b"part")
    with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)$"):
        req.next_body()
