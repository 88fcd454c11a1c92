"""Cancelling and releasing running requests."""

import gc
import threading
import time

import pytest

CANCELED = r"^Canceled \(Chromium net error -3\)$"


def test_cancel_from_another_thread_during_a_stalled_body(engine, app):
    request = engine.request("GET", app.url("/stall"))
    assert request.start_stream().status_code == 200
    assert len(request.next_body()) == 1000
    timer = threading.Timer(0.2, request.cancel)
    timer.start()
    with pytest.raises(RuntimeError, match=CANCELED):
        request.next_body()  # blocked until the cancel lands
    timer.join()
    assert request.is_finished()
    assert request.next_body() is None


def test_cancel_before_the_head(engine, peer):
    request = engine.request("GET", peer.url("/stall-head"))
    request.start()
    request.cancel()
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.await_response()
    deadline = time.monotonic() + 10
    while not request.is_finished() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert request.is_finished()


def test_cancel_before_start_ends_the_start_at_once(engine, app):
    request = engine.request("GET", app.url("/echo"))
    request.cancel()
    with pytest.raises(RuntimeError, match=CANCELED):
        request.start_stream()


def test_cancel_after_completion_changes_nothing(engine, nginx):
    request = engine.request("GET", nginx.url("http1", "/small.bin"))
    request.start_stream()
    assert bytes(request.read_body()) == nginx.small
    request.cancel()
    request.cancel()


def test_dropping_running_requests_and_engines(native, app, nginx):
    # Released while running: each is cancelled and the engine's network
    # context goes when the last of them has ended.
    for _ in range(20):
        engine = native.PyEngine()
        stalled = engine.request("GET", app.url("/stall"))
        stalled.start_stream()
        pending = engine.request("GET", nginx.url("http1", "/big.bin"))
        pending.start()
        del engine, stalled, pending
        gc.collect()
    engine = native.PyEngine()
    request = engine.request("GET", nginx.url("http1", "/small.bin"))
    request.start_stream()
    assert bytes(request.read_body()) == nginx.small


def test_start_twice_is_refused(engine, nginx):
    request = engine.request("GET", nginx.url("http1", "/small.bin"))
    request.start()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.start()
    assert request.await_response().status_code == 200
