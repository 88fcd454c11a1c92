"""HTTP and WebSocket client on the halvane Core.

    import strandel

    r = strandel.get("https://example.org/")
    with strandel.Client(impersonate="chrome_131") as client:
        r = client.get("https://example.org/", params={"q": "x"})
        r.raise_for_status()
        print(r.status_code, r.headers["content-type"], r.text)
"""

from __future__ import annotations

from typing import Any, Dict

from ._auth import Auth, BasicAuth, DigestAuth, FunctionAuth, NetRCAuth
from ._client import AsyncClient, Client
from ._config import USE_CLIENT_DEFAULT, call_options
from ._cookies import CookieConflict, Cookies
from ._errors import (CacheMiss, ConnectError, DecodingError, HTTPError, HTTPStatusError,
                      InvalidRequest, NetworkError, ProxyError, ReadError, RedirectError,
                      RemoteProtocolError, RequestError, StreamError, TimeoutException, TLSError,
                      TooManyRedirects, TransportError, WebSocketError)
from ._headers import Headers
from ._models import Redirect, Request, Response
from ._websocket import (AsyncWebSocket, BinaryMessage, CloseMessage, Message, TextMessage,
                         WebSocket)

__version__ = "0.1.0"

__all__ = [
    "Auth", "BasicAuth", "CookieConflict", "Cookies", "DigestAuth", "FunctionAuth", "NetRCAuth",
    "AsyncClient", "AsyncWebSocket", "BinaryMessage", "CacheMiss", "Client", "CloseMessage",
    "ConnectError", "DecodingError", "HTTPError", "HTTPStatusError", "Headers",
    "InvalidRequest", "Message", "NetworkError", "ProxyError", "ReadError", "Redirect",
    "RedirectError", "RemoteProtocolError", "Request", "RequestError", "Response",
    "StreamError", "TLSError", "TextMessage", "TimeoutException", "TooManyRedirects",
    "TransportError", "USE_CLIENT_DEFAULT", "WebSocket", "WebSocketError", "delete", "get",
    "head", "options", "patch", "post", "put", "request", "stream",
]

def _client_only(kwargs: Dict[str, Any]) -> Dict[str, Any]:
    """The Client keywords a one-call function takes besides the engine's."""
    return {name: kwargs.pop(name) for name in ("trust_env",) if name in kwargs}


def request(method: str, url: str, **kwargs: Any) -> Response:
    """One request on a client of its own: takes the keywords of
    ``Client.request`` and the engine keywords of ``Client`` (the engine's
    cache switch is ``cache_enabled`` here, since ``cache`` names the
    request's cache mode)."""
    with Client(**call_options(kwargs), **_client_only(kwargs)) as client:
        return client.request(method, url, **kwargs)


def stream(method: str, url: str, **kwargs: Any) -> Any:
    """``with strandel.stream("GET", url) as r:`` on a client of its own."""
    return Client(**call_options(kwargs), **_client_only(kwargs)).stream(method, url, **kwargs)


def get(url: str, **kwargs: Any) -> Response:
    return request("GET", url, **kwargs)


def options(url: str, **kwargs: Any) -> Response:
    return request("OPTIONS", url, **kwargs)


def head(url: str, **kwargs: Any) -> Response:
    return request("HEAD", url, **kwargs)


def post(url: str, **kwargs: Any) -> Response:
    return request("POST", url, **kwargs)


def put(url: str, **kwargs: Any) -> Response:
    return request("PUT", url, **kwargs)


def patch(url: str, **kwargs: Any) -> Response:
    return request("PATCH", url, **kwargs)


def delete(url: str, **kwargs: Any) -> Response:
    return request("DELETE", url, **kwargs)
