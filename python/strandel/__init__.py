"""HTTP and WebSocket client on the halvane Core.

    import strandel

    r = strandel.get("https://example.org/")
    with strandel.Client(impersonate="chrome_152") as client:
        r = client.get("https://example.org/", params={"q": "x"})
        r.raise_for_status()
        print(r.status_code, r.headers["content-type"], r.text)
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Iterator

from ._auth import Auth, BasicAuth, DigestAuth, FunctionAuth, NetRCAuth
from ._client import AsyncClient, Client
from ._config import USE_CLIENT_DEFAULT, call_options
from ._cookies import CookieConflict, Cookies
from ._errors import (CacheMiss, ConnectError, ConnectTimeout, DecodingError, HTTPError,
                      HTTPStatusError, InvalidRequest, InvalidURL, LocalProtocolError,
                      NetworkError, PoolTimeout, ProtocolError, ProxyError, ReadError,
                      ReadTimeout, RedirectError, RemoteProtocolError, RequestError, StreamError,
                      TimeoutException, TLSError, TooManyRedirects, TransportError,
                      WebSocketError, WriteTimeout)
from ._headers import Headers
from ._models import Redirect, Request, Response
from ._timeout import DEFAULT_TIMEOUT, Timeout
from ._websocket import (AsyncWebSocket, BinaryMessage, CloseMessage, Message, TextMessage,
                         WebSocket)

if TYPE_CHECKING:
    import contextlib

    from typing_extensions import Unpack

    from ._types import CallBodyOptions, CallOptions

__version__ = "0.1.0"

__all__ = [
    "Auth", "BasicAuth", "CookieConflict", "Cookies", "DigestAuth", "FunctionAuth", "NetRCAuth",
    "AsyncClient", "AsyncWebSocket", "BinaryMessage", "CacheMiss", "Client", "CloseMessage",
    "ConnectError", "ConnectTimeout", "DEFAULT_TIMEOUT", "DecodingError", "HTTPError",
    "HTTPStatusError", "Headers", "InvalidRequest", "InvalidURL", "LocalProtocolError",
    "Message", "NetworkError", "PoolTimeout", "ProtocolError", "ProxyError", "ReadError",
    "ReadTimeout", "Redirect", "RedirectError", "RemoteProtocolError", "Request",
    "RequestError", "Response", "StreamError", "TLSError", "TextMessage", "Timeout",
    "TimeoutException", "TooManyRedirects", "TransportError", "USE_CLIENT_DEFAULT",
    "WebSocket", "WebSocketError", "WriteTimeout", "delete", "get", "head", "options",
    "patch", "post", "put", "request", "stream",
]


def request(method: str, url: str, **kwargs: Unpack[CallBodyOptions]) -> Response:
    """One request on a client of its own: takes the keywords of
    ``Client.request`` and the engine keywords of ``Client``; `cache` is the
    request's, as on a client (True, False or a mode name)."""
    options: Dict[str, Any] = dict(kwargs)
    with Client(**call_options(options)) as client:
        return client.request(method, url, **options)


def stream(method: str, url: str,
           **kwargs: Unpack[CallBodyOptions]) -> "contextlib.AbstractContextManager[Response]":
    """``with strandel.stream("GET", url) as r:`` on a client of its own."""
    options: Dict[str, Any] = dict(kwargs)
    client = Client(**call_options(options))
    return _closing_client(client, client.stream(method, url, **options))


def _closing_client(client: Client, streamed: "contextlib.AbstractContextManager[Response]"
                    ) -> "contextlib.AbstractContextManager[Response]":
    import contextlib as _contextlib

    @_contextlib.contextmanager
    def run() -> Iterator[Response]:
        try:
            with streamed as response:
                yield response
        finally:
            client.close()
    return run()


def get(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("GET", url, **kwargs)


def options(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("OPTIONS", url, **kwargs)


def head(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("HEAD", url, **kwargs)


def post(url: str, **kwargs: Unpack[CallBodyOptions]) -> Response:
    return request("POST", url, **kwargs)


def put(url: str, **kwargs: Unpack[CallBodyOptions]) -> Response:
    return request("PUT", url, **kwargs)


def patch(url: str, **kwargs: Unpack[CallBodyOptions]) -> Response:
    return request("PATCH", url, **kwargs)


def delete(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("DELETE", url, **kwargs)
