"""Authentication: the `auth=` argument of a client or request, as httpx
shapes it. An `Auth` is a generator flow: it yields the request to send,
receives the response, and may yield once more (a digest challenge's
answer). The flow runs in the package, per request; redirects happen inside
the Core, which drops an Authorization header on a hop to another origin."""

from __future__ import annotations

import hashlib
import os
import re
import threading
import time
from base64 import b64encode
from typing import (Any, AsyncGenerator, Callable, Dict, Generator, List, NamedTuple, Optional,
                    Tuple, Union)
from urllib.parse import urlsplit

from ._errors import StreamError
from ._models import Request, Response

AuthTypes = Union[Tuple[Union[str, bytes], Union[str, bytes]], Callable[[Request], Request],
                  "Auth"]


class Auth:
    """Base class of authentication schemes: override `auth_flow` (or
    `sync_auth_flow` and `async_auth_flow` for flows that do I/O of their
    own). Set `requires_response_body` when the flow reads a response's
    body; `requires_request_body` when it reads the request's (then the body
    must be given whole)."""

    requires_request_body = False
    requires_response_body = False

    def auth_flow(self, request: Request) -> Generator[Request, Response, None]:
        yield request

    def sync_auth_flow(self, request: Request) -> Generator[Request, Response, None]:
        flow = self.auth_flow(request)
        request = next(flow)
        while True:
            response = yield request
            if self.requires_response_body:
                response.read()
            try:
                request = flow.send(response)
            except StopIteration:
                break

    async def async_auth_flow(self, request: Request) -> AsyncGenerator[Request, Response]:
        flow = self.auth_flow(request)
        request = next(flow)
        while True:
            response = yield request
            if self.requires_response_body:
                await response.aread()
            try:
                request = flow.send(response)
            except StopIteration:
                break


class FunctionAuth(Auth):
    """Any callable taking the request and returning it (changed)."""

    def __init__(self, func: Callable[[Request], Request]) -> None:
        self._func = func

    def auth_flow(self, request: Request) -> Generator[Request, Response, None]:
        result = self._func(request)
        if not isinstance(result, Request):
            raise TypeError(f"the auth callable {self._func!r} must return the request, "
                            f"not {type(result).__name__}")
        yield result


def _to_bytes(value: Union[str, bytes], what: str) -> bytes:
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8")
    raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")


class BasicAuth(Auth):
    """RFC 7617: the credentials in every request's Authorization header
    (UTF-8, as browsers and httpx send them)."""

    def __init__(self, username: Union[str, bytes], password: Union[str, bytes]) -> None:
        self._header = basic_auth_header(username, password)

    def auth_flow(self, request: Request) -> Generator[Request, Response, None]:
        request.headers["Authorization"] = self._header
        yield request


def basic_auth_header(username: Union[str, bytes], password: Union[str, bytes]) -> str:
    user = _to_bytes(username, "the user name")
    if b":" in user:
        raise ValueError("a Basic user name cannot contain ':'")
    token = b64encode(user + b":" + _to_bytes(password, "the password")).decode("ascii")
    return f"Basic {token}"


class NetRCAuth(Auth):
    """Basic credentials for each request's host from a netrc file
    (`file`, else ~/.netrc), read once, when made; a host the file does not
    name (nor a "default" entry) gets none."""

    def __init__(self, file: Optional[Union[str, "os.PathLike[str]"]] = None) -> None:
        import netrc

        self._netrc = netrc.netrc(file)

    def auth_flow(self, request: Request) -> Generator[Request, Response, None]:
        found = self._netrc.authenticators(urlsplit(request.url).hostname or "")
        if found is not None and found[2]:
            request.headers["Authorization"] = basic_auth_header(found[0], found[2])
        yield request


# ---- Digest (RFC 7616) --------------------------------------------------------------

def _sha512_256(data: bytes) -> "hashlib._Hash":
    return hashlib.new("sha512_256", data)


_ALGORITHMS: Dict[str, Callable[[bytes], Any]] = {
    "MD5": hashlib.md5,
    "SHA-256": hashlib.sha256,
    "SHA-512-256": _sha512_256,
}


class DigestChallenge(NamedTuple):
    realm: str
    nonce: str
    algorithm: str  # upper case, without "-SESS"
    session: bool  # a "-sess" algorithm
    opaque: Optional[str]
    qop: Optional[str]  # "auth", or None for the RFC 2069 form
    userhash: bool


_PARAM = re.compile(r'\s*([^\s=,]+)\s*=\s*("(?:[^"\\]|\\.)*"|[^,]*)\s*(?:,|$)')


def _params(text: str) -> Dict[str, str]:
    params: Dict[str, str] = {}
    for name, value in _PARAM.findall(text):
        value = value.strip()
        if value.startswith('"'):
            value = re.sub(r"\\(.)", r"\1", value[1:-1])
        params[name.lower()] = value
    return params


def parse_challenge(header: str) -> Optional[DigestChallenge]:
    """The Digest challenge of one WWW-Authenticate value, or None when it
    is another scheme or one this client cannot answer (no qop it knows, an
    unknown algorithm, a missing nonce)."""
    scheme, _, rest = header.strip().partition(" ")
    if scheme.lower() != "digest":
        return None
    params = _params(rest)
    if "nonce" not in params:
        return None
    algorithm = params.get("algorithm", "MD5").upper()
    session = algorithm.endswith("-SESS")
    if session:
        algorithm = algorithm[:-5]
    if algorithm not in _ALGORITHMS:
        return None
    qop: Optional[str] = None
    if "qop" in params:
        offered = [q.strip().lower() for q in params["qop"].split(",")]
        if "auth" not in offered:
            return None  # auth-int alone: the body would have to be hashed
        qop = "auth"
    return DigestChallenge(params.get("realm", ""), params["nonce"], algorithm, session,
                           params.get("opaque"), qop,
                           params.get("userhash", "").lower() == "true")


def _quoted(value: str) -> str:
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def digest_response(challenge: DigestChallenge, username: bytes, password: bytes,
                    method: str, uri: str, nonce_count: int, cnonce: str) -> str:
    """The Authorization header answering `challenge` (RFC 7616 section 3.4)."""
    hash_function = _ALGORITHMS[challenge.algorithm]

    def digest(*parts: Union[str, bytes]) -> str:
        joined = b":".join(p if isinstance(p, bytes) else p.encode("utf-8") for p in parts)
        return str(hash_function(joined).hexdigest())

    realm = challenge.realm
    ha1 = digest(username, realm, password)
    if challenge.session:
        ha1 = digest(ha1, challenge.nonce, cnonce)
    ha2 = digest(method, uri)
    nc = f"{nonce_count:08x}"
    if challenge.qop is None:
        answer = digest(ha1, challenge.nonce, ha2)
    else:
        answer = digest(ha1, challenge.nonce, nc, cnonce, challenge.qop, ha2)
    user = username.decode("utf-8")
    if challenge.userhash:
        user = digest(username, realm)
    algorithm = challenge.algorithm + ("-sess" if challenge.session else "")
    fields = [("username", _quoted(user)), ("realm", _quoted(realm)),
              ("nonce", _quoted(challenge.nonce)), ("uri", _quoted(uri)),
              ("response", _quoted(answer)), ("algorithm", algorithm)]
    if challenge.opaque is not None:
        fields.append(("opaque", _quoted(challenge.opaque)))
    if challenge.qop is not None:
        fields += [("qop", challenge.qop), ("nc", nc), ("cnonce", _quoted(cnonce))]
    if challenge.userhash:
        fields.append(("userhash", "true"))
    return "Digest " + ", ".join(f"{name}={value}" for name, value in fields)


def _request_uri(url: str) -> str:
    parts = urlsplit(url)
    path = parts.path or "/"
    return f"{path}?{parts.query}" if parts.query else path


class DigestAuth(Auth):
    """RFC 7616 Digest (MD5, SHA-256, SHA-512-256, their -sess forms;
    qop "auth" or none): the first request goes without credentials, a 401
    challenge is answered once. Later requests through the same DigestAuth
    answer the last challenge at once, counting the nonce's uses, and a new
    challenge (a stale nonce) is answered once again."""

    def __init__(self, username: Union[str, bytes], password: Union[str, bytes]) -> None:
        self._username = _to_bytes(username, "the user name")
        self._password = _to_bytes(password, "the password")
        self._lock = threading.Lock()
        self._challenge: Optional[DigestChallenge] = None
        self._nonce_count = 0

    def _authorization(self, request: Request, challenge: DigestChallenge) -> str:
        with self._lock:
            if self._challenge is None or self._challenge.nonce != challenge.nonce:
                self._challenge, self._nonce_count = challenge, 0
            self._nonce_count += 1
            count = self._nonce_count
        cnonce = hashlib.sha256(b"%d:%s" % (time.time_ns(), os.urandom(8))).hexdigest()[:16]
        return digest_response(challenge, self._username, self._password, request.method,
                               _request_uri(request.url), count, cnonce)

    def auth_flow(self, request: Request) -> Generator[Request, Response, None]:
        known = self._challenge
        if known is not None:
            request.headers["Authorization"] = self._authorization(request, known)
        response = yield request
        if response.status_code != 401:
            return
        challenges = [c for c in map(parse_challenge,
                                     response.headers.get_list("www-authenticate")) if c]
        if not challenges:
            return
        # The strongest algorithm offered first (RFC 7616 section 3.7).
        order = ["SHA-512-256", "SHA-256", "MD5"]
        challenge = min(challenges, key=lambda c: order.index(c.algorithm))
        if known is not None and known.nonce == challenge.nonce:
            return  # our answer to this very nonce was refused: wrong credentials
        request.headers["Authorization"] = self._authorization(request, challenge)
        yield request


def as_auth(auth: Any) -> Optional[Auth]:
    """The Auth for an `auth=` argument; None for None."""
    if auth is None or isinstance(auth, Auth):
        return auth
    if isinstance(auth, tuple):
        if len(auth) != 2:
            raise ValueError(f"auth as a tuple must be (user name, password), "
                             f"not {len(auth)} items")
        return BasicAuth(auth[0], auth[1])
    if callable(auth):
        return FunctionAuth(auth)
    raise TypeError(f"auth must be a (user name, password) tuple, an Auth or a callable, "
                    f"not {type(auth).__name__}")


def body_refused(auth: Auth) -> StreamError:
    """The error for a flow that reads the request body, given a stream."""
    return StreamError(f"{type(auth).__name__} reads the request body, which a streamed "
                       "body cannot give: give the body as bytes")


def replay_refused(request: Request) -> StreamError:
    """The error for a flow's second request when the body was a stream,
    already spent on the first."""
    return StreamError(f"cannot send {request.method} {request.url} again to answer the "
                       "server's authentication challenge: its body was a stream, spent on "
                       "the first request; give the body as bytes (or a file read whole) to "
                       "use this authentication")


__all__: List[str] = ["Auth", "BasicAuth", "DigestAuth", "FunctionAuth", "NetRCAuth", "as_auth"]
