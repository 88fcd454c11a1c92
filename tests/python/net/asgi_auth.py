"""Routes of the test app for authentication and cookies:

- /basic-auth/USER/PASS: 200 with {"user": USER} for those Basic
  credentials, else 401 with a Basic challenge;
- /digest-auth/ALGORITHM/USER/PASS (ALGORITHM: MD5, SHA-256, MD5-sess...):
  a Digest challenge (qop "auth"), 200 with {"user": USER, "nc": n} for a
  right answer; a nonce-count not above the last one is refused;
- /digest-stale/USER/PASS: as /digest-auth/MD5 with a new nonce each time
  (each answer to an earlier nonce gets a stale challenge);
- /auth-echo: {"authorization": the header or None};
- /cookies: {"cookies": {name: value}} of the request's Cookie header;
- /cookies/set?NAME=VALUE&...: sets each cookie (Path=/), answers like /cookies.
"""

import base64
import hashlib
import json
import os
from http.cookies import SimpleCookie
from urllib.parse import parse_qsl

HASHES = {"MD5": hashlib.md5, "SHA-256": hashlib.sha256,
          "SHA-512-256": lambda data: hashlib.new("sha512_256", data)}
NONCES = {}  # nonce -> the highest nonce-count seen


def _header(scope, name):
    for key, value in scope["headers"]:
        if key.decode("latin-1").lower() == name:
            return value.decode("latin-1")
    return None


async def _respond(send, status, body, headers=()):
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json")]
                + [(k.encode(), v.encode()) for k, v in headers]})
    await send({"type": "http.response.body", "body": json.dumps(body).encode()})


def _digest_fields(header):
    scheme, _, rest = header.partition(" ")
    fields = {}
    for part in rest.split(","):
        key, _, value = part.strip().partition("=")
        fields[key] = value.strip('"')
    return scheme, fields


def _check_digest(scope, algorithm, user, password):
    """(None, nc) for a right answer; (reason, None) otherwise."""
    header = _header(scope, "authorization")
    if header is None:
        return "missing", None
    scheme, fields = _digest_fields(header)
    if scheme != "Digest" or fields.get("nonce") not in NONCES:
        return "unknown nonce", None
    base, sess = algorithm.upper().removesuffix("-SESS"), algorithm.upper().endswith("-SESS")
    hash_function = HASHES[base]

    def digest(*parts):
        return hash_function(":".join(parts).encode()).hexdigest()

    ha1 = digest(user, "tests@strandel", password)
    if sess:
        ha1 = digest(ha1, fields["nonce"], fields["cnonce"])
    uri = scope["path"] + (f"?{scope['query_string'].decode()}" if scope["query_string"] else "")
    expected = digest(ha1, fields["nonce"], fields["nc"], fields["cnonce"], "auth",
                      digest(scope["method"], uri))
    if fields.get("response") != expected or fields.get("uri") != uri:
        return "wrong answer", None
    nc = int(fields["nc"], 16)
    if nc <= NONCES[fields["nonce"]]:
        return "replayed nonce count", None
    NONCES[fields["nonce"]] = nc
    return None, nc


def _challenge(algorithm, stale=False):
    nonce = os.urandom(12).hex()
    NONCES[nonce] = 0
    extra = ", stale=true" if stale else ""
    return ("www-authenticate", f'Digest realm="tests@strandel", qop="auth", '
            f'algorithm={algorithm}, nonce="{nonce}", opaque="op"{extra}')


def _cookies(scope):
    jar = SimpleCookie()
    jar.load(_header(scope, "cookie") or "")
    return {name: morsel.value for name, morsel in jar.items()}


ROUTES = ("/basic-auth/", "/digest-auth/", "/digest-stale/", "/auth-echo", "/cookies")


async def handle(scope, receive, send):
    """Answers a route above; False for any other path."""
    path = scope["path"]
    if not path.startswith(ROUTES):
        return False
    while True:  # the body, read and dropped
        message = await receive()
        if message["type"] == "http.disconnect" or not message.get("more_body", False):
            break
    parts = path.strip("/").split("/")
    if parts[0] == "basic-auth" and len(parts) == 3:
        expected = "Basic " + base64.b64encode(f"{parts[1]}:{parts[2]}".encode()).decode()
        if _header(scope, "authorization") == expected:
            await _respond(send, 200, {"user": parts[1]})
        else:
            await _respond(send, 401, {"user": None},
                           [("www-authenticate", 'Basic realm="tests"')])
    elif parts[0] == "digest-auth" and len(parts) == 4:
        reason, nc = _check_digest(scope, parts[1], parts[2], parts[3])
        if reason is None:
            await _respond(send, 200, {"user": parts[2], "nc": nc})
        else:
            await _respond(send, 401, {"reason": reason}, [_challenge(parts[1])])
    elif parts[0] == "digest-stale" and len(parts) == 3:
        reason, nc = _check_digest(scope, "MD5", parts[1], parts[2])
        if reason is None:
            # Each nonce serves one request: the next answer to it is stale.
            NONCES[_digest_fields(_header(scope, "authorization"))[1]["nonce"]] = 1 << 32
            await _respond(send, 200, {"user": parts[1], "nc": nc})
        else:
            await _respond(send, 401, {"reason": reason}, [_challenge("MD5", stale=True)])
    elif path == "/auth-echo":
        await _respond(send, 200, {"authorization": _header(scope, "authorization")})
    elif path == "/cookies":
        await _respond(send, 200, {"cookies": _cookies(scope)})
    elif path == "/cookies/set":
        pairs = parse_qsl(scope["query_string"].decode())
        await _respond(send, 200, {"cookies": _cookies(scope)},
                       [("set-cookie", f"{name}={value}; Path=/") for name, value in pairs])
    else:
        return False
    return True
