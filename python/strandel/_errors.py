"""Exception classes, and the parser that turns the native module's error
texts into them.

The native module raises ``RuntimeError`` with texts of three shapes:
``Kind`` (engine and argument errors, or ``native error N``),
``Kind (Chromium net error N)`` (a failed request) and
``Kind (Chromium net error N, response R)`` (a failed WebSocket).
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Dict, Optional, Type

if TYPE_CHECKING:
    from ._models import Request, Response

__all__ = [
    "HTTPError", "RequestError", "TransportError", "TimeoutException", "NetworkError",
    "ConnectError", "ReadError", "TLSError", "ProxyError", "RemoteProtocolError",
    "DecodingError", "RedirectError", "TooManyRedirects", "CacheMiss", "InvalidRequest",
    "HTTPStatusError", "WebSocketError", "StreamError",
]


class HTTPError(Exception):
    """Root of every error this package raises.

    ``str(error)`` is the native module's original text. ``kind`` is the Core's
    error kind (``"Network"``, ``"Timeout"``...), ``net_error`` the Chromium
    net error number, ``response_code`` the HTTP status a failed WebSocket
    handshake got; each is None when the text does not carry it.
    """

    def __init__(self, message: str, *, kind: Optional[str] = None,
                 net_error: Optional[int] = None, response_code: Optional[int] = None,
                 request: Optional["Request"] = None) -> None:
        super().__init__(message)
        self.message = message
        self.kind = kind
        self.net_error = net_error
        self.response_code = response_code
        self._request = request

    @property
    def request(self) -> "Request":
        if self._request is None:
            raise RuntimeError("this error is not tied to a request")
        return self._request

    @request.setter
    def request(self, request: "Request") -> None:
        self._request = request


class RequestError(HTTPError):
    """A request could not be made or did not complete."""


class InvalidRequest(RequestError):
    """The Core refused the request or option as given (``InvalidArgument``)."""


class TransportError(RequestError):
    """A failure on the way to the server and back."""


class TimeoutException(TransportError):
    pass


class NetworkError(TransportError):
    pass


class ConnectError(NetworkError):
    pass


class ReadError(NetworkError):
    pass


class TLSError(ConnectError):
    pass


class ProxyError(TransportError):
    pass


class RemoteProtocolError(TransportError):
    """The server broke the protocol, or ended a message early."""


class DecodingError(RequestError):
    """The response body could not be decoded (content coding)."""


class RedirectError(RequestError):
    """A redirect that cannot be followed."""


class TooManyRedirects(RedirectError):
    pass


class CacheMiss(RequestError):
    """``cache="only_if_cached"`` and nothing usable in the cache."""


class StreamError(RuntimeError):
    """A response stream used out of order (read after close, consumed twice)."""


class WebSocketError(HTTPError):
    """A WebSocket failure not covered by a transport class."""


class HTTPStatusError(HTTPError):
    """Raised by ``Response.raise_for_status()`` for 4xx and 5xx responses."""

    def __init__(self, message: str, *, request: "Request", response: "Response") -> None:
        super().__init__(message, request=request)
        self.response = response


_PATTERN = re.compile(
    r"^(?P<kind>[A-Za-z]+) \(Chromium net error (?P<net>-?\d+)"
    r"(?:, response (?P<response>-?\d+))?\)$")
_BARE = re.compile(r"^(?P<kind>[A-Za-z]+)$")

# Chromium net errors by what they mean to a caller.
_CONNECT = {-102, -104, -105, -106, -108, -109, -137, -800}
_PROTOCOL = {-320, -321, -324, -325, -337, -354, -355, -370}
_DECODING = {-330}
_TOO_MANY_REDIRECTS = {-310}

_BY_KIND: Dict[str, Type[HTTPError]] = {
    "Timeout": TimeoutException,
    "Tls": TLSError,
    "Proxy": ProxyError,
    "Protocol": RemoteProtocolError,
    "Redirect": RedirectError,
    "CacheMiss": CacheMiss,
    "InvalidArgument": InvalidRequest,
    "Canceled": TransportError,
}


def _class_for(kind: str, net_error: Optional[int]) -> Type[HTTPError]:
    if net_error in _TOO_MANY_REDIRECTS:
        return TooManyRedirects
    if net_error in _DECODING:
        return DecodingError
    if kind == "Network":
        if net_error in _CONNECT:
            return ConnectError
        if net_error in _PROTOCOL:
            return RemoteProtocolError
        return ReadError
    return _BY_KIND.get(kind, HTTPError)


def from_native(error: BaseException, *, request: Optional["Request"] = None,
                websocket: bool = False) -> HTTPError:
    """The exception for a native ``RuntimeError`` (or an error event's text)."""
    text = str(error) if isinstance(error, BaseException) else error
    return error_from_text(text, request=request, websocket=websocket)


def error_from_text(text: str, *, request: Optional["Request"] = None,
                    websocket: bool = False) -> HTTPError:
    match = _PATTERN.match(text)
    if match:
        kind = match["kind"]
        net_error = int(match["net"])
        response = match["response"]
        cls = _class_for(kind, net_error)
        if websocket and cls is HTTPError:
            cls = WebSocketError
        return cls(text, kind=kind, net_error=net_error,
                   response_code=int(response) if response is not None else None,
                   request=request)
    match = _BARE.match(text)
    if match:
        kind = match["kind"]
        cls = _class_for(kind, None)
        if websocket and cls is HTTPError:
            cls = WebSocketError
        return cls(text, kind=kind, request=request)
    return (WebSocketError if websocket else HTTPError)(text, request=request)
