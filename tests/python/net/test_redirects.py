"""Redirects in the three modes: what is reported, what is followed, and what
the next request carries."""

import hashlib
import json

import pytest


def redirects_of(request):
    return [(status, text1, text2) for status, _, text1, text2 in request.take_redirects()]


def test_follow_reports_each_hop_then_the_final_head(engine, app):
    request = engine.request("GET", app.url("/chain/2"))
    response = request.start_stream()
    assert response.status_code == 200
    assert json.loads(bytes(request.read_body()))["path"] == "/echo"
    assert redirects_of(request) == [
        (302, app.url("/chain/1"), "GET"),
        (302, app.url("/chain/0"), "GET"),
        (302, app.url("/echo"), "GET"),
    ]


def test_redirect_head_is_the_raw_block(engine, nginx):
    request = engine.request("GET", nginx.url("http1", "/r301"))
    request.start_stream()
    [(status, head, target, method)] = request.take_redirects()
    head = bytes(head)
    assert status == 301
    assert head.startswith(b"HTTP/1.1 301 Moved Permanently\r\n")
    assert head.endswith(b"\r\n\r\n")
    assert b"\r\nLocation: " in head
    assert (target, method) == (nginx.url("http1", "/small.bin"), "GET")


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("kind", ["http1", "https"])
def test_every_redirect_status_is_followed(native, nginx, ca_pem, status, kind):
    engine = native.PyEngine(ca_pem=ca_pem)
    request = engine.request("GET", nginx.url(kind, f"/r{status}"))
    assert request.start_stream().status_code == 200
    assert bytes(request.read_body()) == nginx.small
    assert redirects_of(request) == [(status, nginx.url(kind, "/small.bin"), "GET")]


@pytest.mark.parametrize("status,method,expected_method,keeps_body", [
    (301, "POST", "GET", False),
    (302, "POST", "GET", False),
    (303, "POST", "GET", False),
    (303, "PUT", "GET", False),
    (303, "HEAD", "HEAD", False),
    (302, "PUT", "PUT", True),
    (307, "POST", "POST", True),
    (308, "PUT", "PUT", True),
])
def test_method_and_body_after_redirect(engine, app, status, method, expected_method,
                                        keeps_body):
    body = b"payload" * 1000
    request = engine.request(method, app.url(f"/redirect?status={status}&to=/echo"), body=body,
                             headers=[("Content-Type", "text/plain")])
    response = request.start_stream()
    assert redirects_of(request) == [(status, app.url("/echo"), expected_method)]
    if expected_method == "HEAD":
        return
    echoed = json.loads(bytes(request.read_body()))
    assert response.status_code == 200
    assert echoed["method"] == expected_method
    if keeps_body:
        assert echoed["body_sha256"] == hashlib.sha256(body).hexdigest()
        assert ["content-type", "text/plain"] in echoed["headers"]
    else:
        assert echoed["body_length"] == 0
        assert all(name != "content-type" for name, _ in echoed["headers"])


def test_manual_defers_until_followed(engine, app):
    request = engine.request("GET", app.url("/chain/1"), allow_redirects=False)
    request.start()
    redirect, head = request.wait_manual(10)
    assert head is None
    assert (redirect[0], redirect[2], redirect[3]) == (302, app.url("/chain/0"), "GET")
    # Nothing more happens until the caller follows.
    assert request.wait_manual(0.3) == (None, None)
    assert not request.is_finished()
    request.follow_redirect()
    redirect, head = request.wait_manual(10)
    assert (redirect[0], redirect[2]) == (302, app.url("/echo"))
    request.follow_redirect()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.follow_redirect()  # each deferred redirect is followed once
    redirect, head = request.wait_manual(10)
    assert redirect is None and head[0] == 200


def test_manual_chain_to_the_end(engine, app):
    request = engine.request("GET", app.url("/chain/2"), redirect="manual")
    request.start()
    seen = []
    while True:
        redirect, head = request.wait_manual(10)
        if redirect is not None:
            seen.append(redirect[2])
            request.follow_redirect()
            continue
        assert head is not None
        break
    assert head[0] == 200
    assert seen == [app.url("/chain/1"), app.url("/chain/0"), app.url("/echo")]
    assert json.loads(bytes(request.read_body()))["path"] == "/echo"


def test_follow_redirect_without_a_deferred_one_is_refused(engine, app):
    request = engine.request("GET", app.url("/echo"), redirect="manual")
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.follow_redirect()
    request.start_stream()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.follow_redirect()


def test_manual_redirect_can_be_cancelled(engine, app):
    request = engine.request("GET", app.url("/chain/1"), redirect="manual")
    request.start()
    redirect, _ = request.wait_manual(10)
    assert redirect is not None
    request.cancel()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.follow_redirect()


def test_error_mode_reports_then_fails(engine, app):
    request = engine.request("GET", app.url("/chain/1"), redirect="error")
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -311\)$"):
        request.start_stream()
    assert redirects_of(request) == [(302, app.url("/chain/0"), "GET")]


def test_more_than_twenty_redirects_fail(engine, app):
    request = engine.request("GET", app.url("/loop"))
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -310\)$"):
        request.start_stream()
    assert len(request.take_redirects()) == 20


def test_twenty_redirects_are_fine(engine, app):
    request = engine.request("GET", app.url("/chain/19"))
    assert request.start_stream().status_code == 200
    assert len(request.take_redirects()) == 20


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308, 300, 304])
def test_redirect_status_without_location_is_the_response(engine, app, status):
    request = engine.request("GET", app.url(f"/redirect?status={status}"))
    assert request.start_stream().status_code == status
    assert request.take_redirects() == []


@pytest.mark.parametrize("target", ["ftp://127.0.0.1/x", "file:///etc/passwd"])
def test_redirect_to_another_scheme_is_unsafe(engine, app, target):
    request = engine.request("GET", app.url(f"/redirect?to={target}"))
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -311\)$"):
        request.start_stream()


def test_streamed_body_cannot_be_sent_twice(engine, app):
    request = engine.request("POST", app.url("/redirect?status=307&to=/echo"), chunked=True)
    request.start()
    request.upload_write(b"streamed", True)
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -25\)$"):
        request.await_response()


def test_streamed_body_dropped_by_303(engine, app):
    request = engine.request("POST", app.url("/redirect?status=303&to=/echo"), chunked=True)
    request.start()
    request.upload_write(b"streamed", True)
    assert request.await_response().status_code == 200
    assert json.loads(bytes(request.read_body()))["method"] == "GET"


def test_credentials_stay_with_their_origin(engine, app):
    # 127.0.0.1 and localhost are different origins on the same server.
    other = app.url("/echo", host="localhost")
    headers = [("Authorization", "Bearer secret"), ("Cookie", "session=1"), ("X-Keep", "yes")]
    request = engine.request("GET", app.url(f"/redirect?to={other}"), headers=headers)
    request.start_stream()
    echoed = json.loads(bytes(request.read_body()))
    names = [name for name, _ in echoed["headers"]]
    assert "authorization" not in names and "cookie" not in names
    assert ["x-keep", "yes"] in echoed["headers"]

    same = engine.request("GET", app.url("/redirect?to=/echo"), headers=headers)
    same.start_stream()
    echoed = json.loads(bytes(same.read_body()))
    assert ["authorization", "Bearer secret"] in echoed["headers"]
    assert ["cookie", "session=1"] in echoed["headers"]


def test_cookie_set_on_a_redirect_goes_to_the_next_hop(engine, app):
    request = engine.request("GET", app.url("/set-cookie?name=hop&value=42&to=/echo"))
    request.start_stream()
    echoed = json.loads(bytes(request.read_body()))
    assert ["cookie", "hop=42"] in echoed["headers"]
