"""Requests and responses of the blocking client, the asyncio client and the
module-level functions: options, bodies, redirects and response decoding."""

import datetime
import hashlib
import io
import logging
import re

import pytest

import servers


def sent_headers(echoed, name):
    return [v for k, v in echoed["headers"] if k == name.lower()]


@pytest.mark.parametrize("method", ["GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"])
def test_each_method_reaches_the_server(client, app, method):
    response = getattr(client, method.lower())(app.url("/echo"), params={"q": "a b", "n": [1, 2]},
                                               headers={"X-Trace": "t1"})
    echoed = response.json()
    assert (echoed["method"], echoed["query"]) == (method, "q=a+b&n=1&n=2")
    assert sent_headers(echoed, "x-trace") == ["t1"]
    assert response.url == app.url("/echo?q=a+b&n=1&n=2")


def test_head_has_no_body(client, nginx):
    response = client.head(nginx.url("http1", "/medium.bin"))
    assert response.headers["content-length"] == "8388608"
    assert response.content == b""


def test_client_defaults_merge_with_request_options(strandel, app):
    with strandel.Client(base_url=app.url("/"), headers={"X-A": "client", "X-B": "client"},
                         params={"c": "1"}, user_agent="pkg-test/1") as client:
        echoed = client.get("echo", params={"r": "2"},
                            headers=[("x-b", "one"), ("X-B", "two")]).json()
    assert echoed["path"] == "/echo" and echoed["query"] == "c=1&r=2"
    assert sent_headers(echoed, "x-a") == ["client"]
    assert sent_headers(echoed, "x-b") == ["one", "two"]
    assert sent_headers(echoed, "user-agent") == ["pkg-test/1"]


@pytest.mark.parametrize("kwargs,content_type,body", [
    ({"content": b"\x00raw"}, None, b"\x00raw"),
    ({"content": "text é"}, None, "text é".encode()),
    ({"json": {"k": ["é", 1]}}, "application/json", '{"k":["é",1]}'.encode()),
    ({"data": {"a": "1", "b": ["x", "y"]}}, "application/x-www-form-urlencoded", b"a=1&b=x&b=y"),
    ({"content": iter([b"gen", b"erated"])}, None, b"generated"),
    ({"content": io.BytesIO(b"file" * 300000)}, None, b"file" * 300000),
])
def test_request_bodies(client, app, kwargs, content_type, body):
    echoed = client.post(app.url("/echo"), **kwargs).json()
    assert echoed["body_length"] == len(body)
    assert echoed["body_sha256"] == hashlib.sha256(body).hexdigest()
    assert sent_headers(echoed, "content-type") == ([content_type] if content_type else [])


def test_form_and_multipart_as_the_server_parses_them(client, app, tmp_path):
    form = client.post(app.url("/form"), data={"name": "Zoë", "tags": ["a", "b"]}).json()
    assert form == {"fields": [["name", "Zoë"], ["tags", "a"], ["tags", "b"]], "files": []}

    path = tmp_path / "notes.txt"
    path.write_bytes(b"from a file")
    with open(path, "rb") as f:
        form = client.post(app.url("/form"), data={"field": "value"}, files={
            "plain": f,
            "named": ("report.csv", b"a,b\n1,2\n"),
            "typed": ("blob.bin", io.BytesIO(b"\x00\x01"), "application/x-custom"),
        }).json()
    assert form["fields"] == [["field", "value"]]
    assert form["files"] == [
        ["plain", "notes.txt", "text/plain", "from a file"],
        ["named", "report.csv", "text/csv", "a,b\n1,2\n"],
        ["typed", "blob.bin", "application/x-custom", "\x00\x01"],
    ]


def test_response_head_and_metadata(client, nginx):
    response = client.get(nginx.url("https", "/small.bin"))
    assert (response.status_code, response.reason_phrase) == (200, "OK")
    assert response.http_version == "HTTP/2"
    assert response.content == nginx.small
    assert response.headers["Content-Length"] == "1024"
    assert response.elapsed > datetime.timedelta(0)
    assert response.is_success and not response.is_error
    assert response.raise_for_status() is response


def test_redirects_are_followed_and_recorded(client, app):
    response = client.get(app.url("/chain/2"))
    assert response.url == app.url("/echo")
    assert [(r.status_code, r.url, r.target, r.method) for r in response.history] == [
        (302, app.url("/chain/2"), app.url("/chain/1"), "GET"),
        (302, app.url("/chain/1"), app.url("/chain/0"), "GET"),
        (302, app.url("/chain/0"), app.url("/echo"), "GET"),
    ]
    assert response.history[0].headers["location"] == "/chain/1"


def test_redirect_not_followed_is_the_response(client, app):
    response = client.get(app.url("/chain/2"), follow_redirects=False)
    assert (response.status_code, response.headers["location"]) == (302, "/chain/1")
    assert response.is_redirect and response.history == [] and response.content == b""
    assert response.url == app.url("/chain/2")


@pytest.mark.parametrize("max_redirects,ok", [(3, True), (2, False), (25, True)])
def test_max_redirects(strandel, app, max_redirects, ok):
    with strandel.Client(max_redirects=max_redirects) as client:
        if ok:
            assert len(client.get(app.url("/chain/2")).history) == 3
        else:
            with pytest.raises(strandel.TooManyRedirects) as info:
                client.get(app.url("/chain/2"))
            assert info.value.net_error == -310


def test_raise_for_status(strandel, client, app):
    response = client.get(app.url("/nothing-here"))
    with pytest.raises(strandel.HTTPStatusError) as info:
        response.raise_for_status()
    assert str(info.value) == f"Client error '404 Not Found' for url '{app.url('/nothing-here')}'"
    assert info.value.response is response and info.value.request.method == "GET"


def test_headers_keep_duplicates_and_match_any_case(client, canned):
    headers = client.get(canned.url("/dup")).headers
    assert headers["x-dup"] == "1, 2" and headers.get_list("X-DUP") == ["1", "2"]
    assert headers.get_list("Set-Cookie") == ["a=1", "b=2"]
    assert headers["x-folded"] == "first second"
    assert [k for k, _ in headers.multi_items()][:4] == ["X-Dup", "x-DUP", "SET-COOKIE",
                                                          "set-cookie"]
    assert "X-Dup" in headers and "missing" not in headers


@pytest.mark.parametrize("path,encoding,text", [
    ("/latin1", "iso8859-1", "café"),
    ("/bad-utf8", "utf-8", "ok \ufffd!"),
])
def test_text_charset(client, canned, path, encoding, text):
    response = client.get(canned.url(path))
    assert (response.encoding, response.text) == (encoding, text)


@pytest.mark.parametrize("path", ["/json-utf16", "/json-latin1"])
def test_json_decoding(client, canned, path):
    assert client.get(canned.url(path)).json() == {"k": "é"}


def test_reason_phrase_filled_in_when_missing(client, canned):
    assert client.get(canned.url("/no-reason")).reason_phrase == "Not Found"


def test_request_cache_mode_and_priority(strandel, client, nginx):
    with pytest.raises(strandel.CacheMiss):
        client.get(nginx.url("http1", "/small.bin?uncached"), cache="only_if_cached")
    assert client.get(nginx.url("http1", "/small.bin"), priority="lowest",
                      cache="bypass").content == nginx.small


def test_module_level_functions(strandel, app, ca_pem):
    response = strandel.post(app.url("/echo", tls=True), json=[1], ca_pem=ca_pem,
                             http_version="h1")
    assert response.json()["body_length"] == 3 and response.http_version == "HTTP/1.1"
    with strandel.stream("GET", app.url("/slow?chunks=3&delay=0")) as r:
        assert b"".join(r.iter_bytes()) == b"0;1;2;"


def test_verify_takes_a_ca_file_path(strandel, nginx, ca_pem, tmp_path):
    (tmp_path / "ca.pem").write_bytes(ca_pem)
    for options in ({"verify": str(tmp_path / "ca.pem")}, {"ca_file": tmp_path / "ca.pem"},
                    {"verify": False}):
        with strandel.Client(**options) as client:
            assert client.get(nginx.url("https", "/small.bin")).content == nginx.small
    with strandel.Client() as client, pytest.raises(strandel.TLSError):
        client.get(nginx.url("https", "/small.bin"))


def test_proxy_credentials_in_the_url(strandel, proxy, nginx, ca_pem):
    user, password = proxy.USER, proxy.PASSWORD
    address = proxy.url.replace("http://", f"http://{user}:{password}@")
    with strandel.Client(proxy=address, ca_pem=ca_pem) as client:
        assert client.get(nginx.url("https", "/small.bin")).content == nginx.small
    with strandel.Client(proxy=proxy.url, proxy_auth=(user, password), ca_pem=ca_pem) as client:
        assert client.get(nginx.url("https", "/small.bin")).status_code == 200


def test_async_client_mirrors_the_blocking_one(strandel, app, run):
    async def main():
        async with strandel.AsyncClient(base_url=app.url("/")) as client:
            posted = await client.post("form", data={"a": "1"}, files={"f": ("x.txt", b"x")})
            redirected = await client.get("chain/1")
            stopped = await client.get("chain/1", follow_redirects=False)
            return posted.json(), redirected, stopped

    posted, redirected, stopped = run(main())
    assert posted == {"fields": [["a", "1"]], "files": [["f", "x.txt", "text/plain", "x"]]}
    assert redirected.url == app.url("/echo") and len(redirected.history) == 2
    assert stopped.status_code == 302


def test_blocking_client_shared_by_threads(client, app):
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(8) as pool:
        queries = list(pool.map(lambda n: client.get(app.url(f"/echo?n={n}")).json()["query"],
                                range(40)))
    assert queries == [f"n={n}" for n in range(40)]


def test_async_client_on_successive_loops(strandel, app):
    import asyncio

    client = strandel.AsyncClient()
    for _ in range(2):
        assert asyncio.run(client.get(app.url("/echo"))).status_code == 200
    asyncio.run(client.aclose())
    assert client._dispatchers == {}


def test_debug_log(strandel, client, app, ws_server, caplog):
    refused = f"http://127.0.0.1:{servers.free_port()}/"
    ws_url = ws_server.url("/echo?log")
    with caplog.at_level(logging.DEBUG, logger="strandel"):
        client.get(app.url("/echo"))
        with pytest.raises(strandel.ConnectError):
            client.get(refused)
        with client.websocket(ws_url) as ws:
            ws.close(1000, "done")
    lines = [r.getMessage() for r in caplog.records if r.name == "strandel"]
    elapsed = r" \(\d+\.\d{3} s\)"
    expected = [re.escape(f"GET {app.url('/echo')} -> 200") + elapsed,
                re.escape(f"GET {refused} -> ConnectError: Network (Chromium net error -102)")
                + elapsed,
                re.escape(f"WebSocket {ws_url} opened, subprotocol ''"),
                re.escape(f"WebSocket {ws_url} ended: CloseMessage(code=1000, reason='done')")]
    assert len(lines) == len(expected), lines
    for line, pattern in zip(lines, expected):
        assert re.fullmatch(pattern, line), line
