"""Dynamic test server (run by hypercorn): echoes requests, sets cookies,
redirects, streams slowly and stalls."""

import asyncio
import email.parser
import email.policy
import gzip
import hashlib
import json
import zlib
from urllib.parse import parse_qs, parse_qsl

import asgi_auth


BLOCK = 64 * 1024
COUNTER = [0]


def block(i):
    """Block `i` of /bytes: its number's digest, repeated."""
    return hashlib.sha256(b"%d" % i).digest() * (BLOCK // 32)


async def read_all(receive):
    chunks = []
    while True:
        message = await receive()
        chunks.append(message.get("body", b""))
        if message["type"] == "http.disconnect" or not message.get("more_body", False):
            return b"".join(chunks)


def parse_form(content_type, body):
    """Form fields and files as the server understands them."""
    if content_type.startswith("application/x-www-form-urlencoded"):
        return {"fields": parse_qsl(body.decode(), keep_blank_values=True), "files": []}
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
    fields, files = [], []
    for part in message.iter_parts():
        name = part.get_param("name", header="content-disposition")
        data = part.get_payload(decode=True)
        if part.get_filename() is None:
            fields.append([name, data.decode()])
        else:
            files.append([name, part.get_filename(), part.get_content_type(),
                          data.decode("latin-1")])
    return {"fields": fields, "files": files}


async def read_body(receive):
    digest = hashlib.sha256()
    length = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            break
        chunk = message.get("body", b"")
        digest.update(chunk)
        length += len(chunk)
        if not message.get("more_body", False):
            break
    return length, digest.hexdigest()


async def respond(send, status, headers=(), body=b""):
    await send({"type": "http.response.start", "status": status,
                "headers": [(k.encode(), v.encode()) for k, v in headers]})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            else:
                await send({"type": "lifespan.shutdown.complete"})
                return
    path = scope["path"]
    query = {k: v[-1] for k, v in parse_qs(scope["query_string"].decode()).items()}
    if await asgi_auth.handle(scope, receive, send):
        return

    if path == "/echo":
        length, digest = await read_body(receive)
        body = json.dumps({
            "method": scope["method"],
            "path": path,
            "query": scope["query_string"].decode(),
            "http_version": scope["http_version"],
            "headers": [[k.decode("latin-1"), v.decode("latin-1")] for k, v in scope["headers"]],
            "body_length": length,
            "body_sha256": digest,
        }).encode()
        await respond(send, 200, [("content-type", "application/json")], body)
    elif path == "/form":
        content_type = dict(scope["headers"]).get(b"content-type", b"").decode()
        form = parse_form(content_type, await read_all(receive))
        await respond(send, 200, [("content-type", "application/json")], json.dumps(form).encode())
    elif path == "/redirect":
        # /redirect?status=307&to=/echo
        await read_body(receive)
        headers = [("location", query["to"])] if "to" in query else []
        await respond(send, int(query.get("status", "302")), headers, b"moved")
    elif path.startswith("/chain/"):
        # /chain/N redirects N times, then lands on /echo.
        await read_body(receive)
        left = int(path.rsplit("/", 1)[1])
        target = "/echo" if left == 0 else f"/chain/{left - 1}"
        await respond(send, 302, [("location", target)])
    elif path == "/loop":
        await respond(send, 302, [("location", "/loop")])
    elif path == "/set-cookie":
        headers = [("set-cookie", f"{query['name']}={query['value']}; Path=/")]
        if "to" in query:
            headers.append(("location", query["to"]))
            await respond(send, 302, headers)
        else:
            await respond(send, 200, headers, b"set")
    elif path == "/stall":
        # A head and a first piece of body, then nothing until the client goes.
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"1000000")]})
        await send({"type": "http.response.body", "body": b"x" * 1000, "more_body": True})
        while (await receive())["type"] != "http.disconnect":
            pass
    elif path == "/slow":
        count = int(query.get("chunks", "5"))
        delay = float(query.get("delay", "0.05"))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for i in range(count):
            await send({"type": "http.response.body", "body": b"%d;" % i, "more_body": True})
            await asyncio.sleep(delay)
        await send({"type": "http.response.body", "body": b""})
    elif path == "/gzip":
        await respond(send, 200, [("content-encoding", "gzip")],
                      gzip.compress(b"hello compressed world " * 100))
    elif path == "/gzip-bad":
        await respond(send, 200, [("content-encoding", "gzip")], b"this is not gzip data" * 10)
    elif path == "/coded":
        # /coded?as=deflate,gzip: the body with each known coding applied in
        # turn; others only name themselves.
        coding = query.get("as", "identity")
        body = b"coded body " * 100
        for name in (n.strip() for n in coding.split(",")):
            if name == "gzip":
                body = gzip.compress(body, mtime=0)
            elif name == "deflate":
                body = zlib.compress(body)
        await respond(send, 200, [("content-encoding", coding)], body)
    elif path == "/big-head":
        # /big-head?count=N&size=M: N extra header lines of M bytes each.
        count, size = int(query.get("count", "1")), int(query.get("size", "1"))
        await respond(send, 200, [(f"x-h{i}", "v" * size) for i in range(count)], b"ok")
    elif path == "/bytes":
        # /bytes?blocks=N: N blocks of 64 KiB, each made from its number
        # (block()), sent one by one.
        count = int(query.get("blocks", "1"))
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", str(count * BLOCK).encode())]})
        for i in range(count):
            await send({"type": "http.response.body", "body": block(i), "more_body": True})
        await send({"type": "http.response.body", "body": b""})
    elif path == "/counted":
        # A fresh number each time the origin answers, cacheable for a minute.
        COUNTER[0] += 1
        await respond(send, 200, [("cache-control", "max-age=60")], b"%d" % COUNTER[0])
    elif path == "/advertise":
        # /advertise?h3=PORT: names an HTTP/3 alternative (PORT: this server's).
        port = query.get("h3") or str(scope["server"][1])
        await respond(send, 200, [("alt-svc", f'h3=":{port}"; ma=600')], b"advertised")
    else:
        await respond(send, 404, [], b"not found")
