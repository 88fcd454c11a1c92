"""HTTP/3 on this interpreter's build: an h3 engine's exchanges, large bodies
both ways, many requests at once, and the Auto upgrade by Alt-Svc."""

import hashlib
import json
import threading

import asgi_app


def fetch(engine, url, method="GET", **kwargs):
    request = engine.request(method, url, **kwargs)
    response = request.start_stream()
    assert response.status_code == 200
    return response.headers.split(b" ", 1)[0], bytes(request.read_body())


def test_http3_exchanges(native, h3_server):
    origin, ca = h3_server
    engine = native.PyEngine(ca_pem=ca, http_version="h3")
    version, body = fetch(engine, origin + "/echo")
    assert (version, json.loads(body)["http_version"]) == (b"HTTP/3", "3")

    blocks = 256  # 16 MiB down
    version, body = fetch(engine, origin + f"/bytes?blocks={blocks}")
    assert body == b"".join(asgi_app.block(i) for i in range(blocks))

    request = engine.request("PUT", origin + "/echo", chunked=True)
    request.start()
    sent = hashlib.sha256()
    for i in range(64):  # 4 MiB up, streamed
        sent.update(asgi_app.block(i))
        request.upload_write(asgi_app.block(i), False)
    request.upload_finish()
    request.await_response()
    assert json.loads(bytes(request.read_body()))["body_sha256"] == sent.hexdigest()

    results = []

    def worker():
        for _ in range(5):
            results.append(fetch(engine, origin + "/bytes?blocks=1"))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [(b"HTTP/3", asgi_app.block(0))] * 20


def test_auto_upgrades_by_alt_svc(native, h3_server):
    origin, ca = h3_server
    engine = native.PyEngine(ca_pem=ca)
    assert [fetch(engine, origin + "/echo")[0] for _ in range(3)] == [b"HTTP/2", b"HTTP/3", b"HTTP/3"]
