"""Blocking use of a request: start, head, body, and the order of states."""

import pytest

from fake_requests import NETWORK, FakeRequest, tidy_requests, wait_idle  # noqa: F401

HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"


def started(engine):
    req = engine.request("GET", "http://127.0.0.1/x")
    req.start()
    return req, FakeRequest.last()


def test_complete_exchange_chunk_by_chunk_and_whole(engine):
    req, core = started(engine)
    core.response(200, HEAD).body(b"hello ").body(b"").body(b"world").body(b"!").complete()
    resp = req.await_response()
    assert (resp.status_code, resp.headers, resp.content) == (200, HEAD, b"")
    assert type(resp.headers) is bytes and type(resp.content) is bytes
    assert req.next_body() == list(b"hello ")
    assert req.next_body() == []  # an empty chunk is a chunk, not the end
    assert req.read_body() == list(b"world!")
    assert req.next_body() is None
    assert req.read_body() == []
    assert req.is_finished()


def test_empty_body(engine):
    req, core = started(engine)
    core.response(204, b"HTTP/1.1 204 No Content\r\n\r\n").complete()
    assert req.await_response().status_code == 204
    assert req.read_body() == []
    assert req.next_body() is None


def test_failure_before_head(engine):
    req, core = started(engine)
    core.complete(NETWORK, -105)
    with pytest.raises(RuntimeError) as exc:
        req.await_response()
    assert type(exc.value) is RuntimeError
    assert exc.value.args == ("Network (Chromium net error -105)",)
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()
    with pytest.raises(RuntimeError, match="^request body stream is not started$"):
        req.next_body()


def test_start_stream_failure_before_head(engine):
    req = engine.request("GET", "http://127.0.0.1/x")
    FakeRequest.last().complete(NETWORK, -105, when="hv_request_start")
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -105\)$"):
        req.start_stream()


def test_failure_during_body_delivers_chunks_first(engine):
    req, core = started(engine)
    core.response().body(b"ab").body(b"cd").body(b"ef").complete(NETWORK, -355)
    req.await_response()
    assert req.next_body() == list(b"ab")
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -355\)$"):
        req.read_body()  # what it gathered ("cdef") is discarded
    assert req.next_body() is None  # the failure is reported once


def test_start_stream_then_body(engine):
    req = engine.request("GET", "http://127.0.0.1/x")
    core = FakeRequest.last()
    core.response(201, HEAD, when="hv_request_start").body(b"xyz", when="hv_request_start")
    core.complete(when="hv_request_start")
    resp = req.start_stream()
    assert resp.status_code == 201
    assert req.read_body() == list(b"xyz")
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()


def test_state_table(engine, fake):
    req = engine.request("GET", "http://127.0.0.1/x")
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()
    with pytest.raises(RuntimeError, match="^request body stream is not started$"):
        req.read_body()
    req.start()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        req.start()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        req.start_stream()
    assert fake.call_count("hv_request_start") == 1
    with pytest.raises(RuntimeError, match="^request body stream is not started$"):
        req.next_body()
    FakeRequest.last().response().complete()
    assert req.await_response().status_code == 200  # the first future survived
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()


def test_core_refusing_start_leaves_request_startable(engine, fake):
    req = engine.request("GET", "http://127.0.0.1/x")
    fake.push_result("hv_request_start", 8)
    with pytest.raises(RuntimeError, match="^Network$"):
        req.start()
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()
    req.start()
    FakeRequest.last().response().complete()
    assert req.await_response().status_code == 200


def test_next_body_twice_then_read_body(engine):
    req, core = started(engine)
    core.response().body(b"1").body(b"22").body(b"333").body(b"4444").complete()
    req.await_response()
    assert req.next_body() == [ord("1")]
    assert req.next_body() == list(b"22")
    assert req.read_body() == list(b"3334444")


@pytest.mark.parametrize("method", ["start_stream", "await_response", "next_body", "read_body",
                                    "upload_finish"])
def test_argument_free_methods_refuse_arguments_through_binding(engine, method):
    req = engine.request("GET", "http://127.0.0.1/x")
    with pytest.raises(TypeError, match=rf"^PyRequest\.{method}\(\) takes 0 positional arguments but 1 was given$"):
        getattr(req, method)(1)
    with pytest.raises(TypeError, match=rf"^PyRequest\.{method}\(\) got an unexpected keyword argument 'x'$"):
        getattr(req, method)(x=1)


@pytest.mark.parametrize("method", ["start", "resume_read", "cancel", "is_finished",
                                    "follow_redirect", "take_redirects", "poll_event",
                                    "detach_callback"])
def test_no_argument_methods_refused_by_interpreter(engine, method):
    req = engine.request("GET", "http://127.0.0.1/x")
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(req, method)(1)


def test_flow_control_resumes_once_when_reading_drains_the_buffer(engine, fake):
    req, core = started(engine)
    core.response().body(b"a" * 600_000).body(b"b" * 500_000)
    req.await_response()
    wait_idle()
    assert core.body_results() == [1, 0]  # paused at 1,100,000 buffered
    assert fake.call_count("hv_request_resume_read") == 0
    # Data the Core delivers from inside the resume call reaches the reader.
    core.body(b"c", when="hv_request_resume_read")
    assert len(req.next_body()) == 600_000
    assert fake.call_count("hv_request_resume_read") == 1
    core.complete()
    assert len(req.read_body()) == 500_001
    assert fake.call_count("hv_request_resume_read") == 1
