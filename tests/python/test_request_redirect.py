"""Redirect control: take, wait for and follow what the Core defers."""

import pytest

from fake_requests import NETWORK, FakeRequest, tidy_requests, wait_idle  # noqa: F401

URL = "http://127.0.0.1/r"
HEAD = b"HTTP/1.1 302 Found\r\nLocation: /next\r\n\r\n"


@pytest.fixture
def manual(native):
    req = native.PyEngine().request("GET", URL, allow_redirects=False)
    return req, FakeRequest.last()


def test_take_redirects_in_order(manual):
    req, core = manual
    assert req.take_redirects() == []
    req.start()
    core.redirect(301, HEAD, b"http://127.0.0.1/a", b"GET")
    core.redirect(307, b"", b"", b"", when="post")
    wait_idle()
    assert req.take_redirects() == [
        (301, list(HEAD), "http://127.0.0.1/a", "GET"),
        (307, [], "", ""),
    ]
    assert req.take_redirects() == []


def test_redirect_texts_are_decoded_lossily(manual):
    req, core = manual
    req.start()
    core.redirect(302, b"", b"caf\xc3\xa9 \xff", b"\xc3", when="now")
    assert req.take_redirects() == [(302, [], "caf\u00e9 \ufffd", "\ufffd")]


def test_follow_redirect_reaches_the_core(manual, fake):
    req, _ = manual
    req.start()
    assert req.follow_redirect() is None
    fake.push_result("hv_request_follow_redirect", 12)
    with pytest.raises(RuntimeError, match="^Redirect$"):
        req.follow_redirect()
    assert fake.call_count("hv_request_follow_redirect") == 2


def test_wait_redirect(manual):
    req, core = manual
    assert req.wait_redirect(0) is None
    req.start()
    core.redirect(302, HEAD, b"http://127.0.0.1/b", b"GET", when="now")
    assert req.wait_redirect(0) == (302, list(HEAD), "http://127.0.0.1/b", "GET")
    core.sleep(50).redirect(303, b"", b"u", b"GET")
    assert req.wait_redirect(timeout=30) == (303, [], "u", "GET")
    # Woken by something else: nothing, although time remains.
    core.sleep(50).body(b"x")
    assert req.wait_redirect(30) is None


def test_wait_redirect_reports_a_failure_that_wakes_it(manual):
    req, core = manual
    req.start()
    core.sleep(50).complete(NETWORK, -105)
    with pytest.raises(RuntimeError, match="^Network$"):
        req.wait_redirect(30)
    # Failed before the call and silent since: nothing after the timeout.
    assert req.wait_redirect(0.05) is None


@pytest.mark.parametrize("timeout", ["x", -1, float("nan")])
def test_wait_timeout_errors(manual, timeout):
    req, _ = manual
    exc_type = TypeError if isinstance(timeout, str) else RuntimeError
    for method in (req.wait_redirect, req.wait_manual):
        with pytest.raises(exc_type):
            method(timeout)


def test_wait_manual_redirect_before_head_then_head(manual):
    req, core = manual
    req.start()
    core.response(200, b"HTTP/1.1 200 OK\r\n\r\n", when="now")
    core.redirect(302, HEAD, b"http://127.0.0.1/c", b"GET", when="now")
    assert req.wait_manual() == ((302, list(HEAD), "http://127.0.0.1/c", "GET"), None)
    assert req.wait_manual(0) == (None, (200, list(b"HTTP/1.1 200 OK\r\n\r\n")))
    core.body(b"done", when="now").complete(when="now")
    assert req.read_body() == list(b"done")
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()


def test_wait_manual_head_arriving_later(manual):
    req, core = manual
    req.start()
    core.sleep(80).response(200)
    assert req.wait_manual(30) == (None, (200, list(b"HTTP/1.1 200 OK\r\n\r\n")))


def test_wait_manual_zero_and_never_started(manual):
    req, core = manual
    assert req.wait_manual(0) == (None, None)
    assert req.wait_manual(0.1) == (None, None)
    req.start()
    assert req.wait_manual(0) == (None, None)


def test_wait_manual_failure_raises_and_finishes(manual):
    req, core = manual
    req.start()
    core.sleep(30).complete(NETWORK, -105)
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -105\)$"):
        req.wait_manual(30)
    with pytest.raises(RuntimeError, match="^request is not started$"):
        req.await_response()


def test_wait_manual_docstring(native):
    assert native.PyRequest.wait_manual.__doc__ == (
        "Blocks until the Core reports a deferred redirect or the response\n"
        "headers arrive, whichever happens first.  See the modern binding for the\n"
        "reasoning: waiting only on the response would hang in manual mode.")
