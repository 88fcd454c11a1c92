"""Exception classes, and the one decoder of the native module's error texts.

The native module raises ``RuntimeError`` (and reports failure events) with
texts of a fixed grammar: ``Kind`` (or ``native error N``),
``Kind (Chromium net error N)`` (a failed request) and
``Kind (Chromium net error N, response R)`` (a failed WebSocket). `decode`
turns one into a Failure record; the exception class is chosen from that
record alone, against the named codes of ``_codes``. Its own argument checks
fail with texts outside the grammar, which the caller tells apart by
checking the arguments itself (see ``_config``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Dict, NamedTuple, Optional, Type, Union

from ._codes import CLIENT_KINDS, NATIVE_KIND, CoreResult, NetError

if TYPE_CHECKING:
    from ._models import Request, Response

__all__ = [
    "HTTPError", "RequestError", "TransportError", "TimeoutException", "NetworkError",
    "ConnectError", "ReadError", "TLSError", "ProxyError", "RemoteProtocolError",
    "ProtocolError", "LocalProtocolError", "ConnectTimeout", "ReadTimeout", "WriteTimeout",
    "PoolTimeout", "InvalidURL", "DecodingError", "RedirectError", "TooManyRedirects",
    "CacheMiss", "InvalidRequest",
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
    """A phase of the exchange took longer than its ``Timeout`` allows (or, for
    a bare ``TimeoutException``, the Core's own deadline passed)."""


class ConnectTimeout(TimeoutException):
    """Connecting took longer than ``Timeout.connect``."""


class ReadTimeout(TimeoutException):
    """Nothing of the response arrived for ``Timeout.read`` seconds."""


class WriteTimeout(TimeoutException):
    """The server took no request body for ``Timeout.write`` seconds."""


class PoolTimeout(TimeoutException):
    """Never raised: requests do not queue for a connection here. Kept so that
    code written for httpx catches what it expects."""


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


class ProtocolError(TransportError):
    """The protocol was broken, by either side."""


class LocalProtocolError(ProtocolError):
    """This side could not send what it promised: a streamed body that ended
    short of, or ran past, its ``Content-Length``."""


class RemoteProtocolError(ProtocolError):
    """The server broke the protocol, or ended a message early."""


class DecodingError(RequestError):
    """The response body could not be decoded (content coding)."""


class RedirectError(RequestError):
    """A redirect that cannot be followed."""


class TooManyRedirects(RedirectError):
    pass


class CacheMiss(RequestError):
    """``cache="only_if_cached"`` and nothing usable in the cache."""


class StreamError(HTTPError, RuntimeError):
    """A response stream used out of order (read after close, consumed twice).
    Also a RuntimeError, as httpx's is."""


class InvalidURL(Exception):
    """A URL argument that cannot be used: unparsable, an unsupported scheme,
    no host, a bad port. As in httpx it is raised before anything is sent and
    is not an HTTPError."""


class WebSocketError(HTTPError):
    """A WebSocket failure not covered by a transport class."""


class HTTPStatusError(HTTPError):
    """Raised by ``Response.raise_for_status()`` for 4xx and 5xx responses."""

    def __init__(self, message: str, *, request: "Request", response: "Response") -> None:
        super().__init__(message, request=request)
        self.response = response


class Failure(NamedTuple):
    """A native error text decoded. `kind` is None for a result code the
    client layer has no name for, which `code` then holds; `code` is the
    Core's result code of a named kind, None for the client layer's own."""

    kind: Optional[str]
    code: Optional[int]
    net_error: Optional[int] = None
    response_code: Optional[int] = None


_NET_INTRO = " (Chromium net error "
_RESPONSE_INTRO = ", response "
_CODES_BY_KIND = {code.kind: code for code in CoreResult if code is not CoreResult.OK}


def _number(text: str) -> Optional[int]:
    """An optionally negative run of ASCII digits, else None (``int()``
    alone would take spaces, "+" and underscores too)."""
    digits = text[1:] if text.startswith("-") else text
    return int(text) if digits.isascii() and digits.isdigit() else None


def _kind(text: str) -> Optional[Failure]:
    if text in _CODES_BY_KIND or text in CLIENT_KINDS:
        return Failure(text, _CODES_BY_KIND.get(text))
    intro, _, number = text.rpartition(" ")
    code = _number(number)
    if intro == NATIVE_KIND and code is not None:
        return Failure(None, code)
    return None


def decode(text: str) -> Optional[Failure]:
    """The record of a text of the grammar above; None for any other text."""
    head, found, detail = text.partition(_NET_INTRO)
    failure = _kind(head)
    if failure is None or not found:
        return failure
    if not detail.endswith(")"):
        return None
    net, found, response = detail[:-1].partition(_RESPONSE_INTRO)
    net_error = _number(net)
    response_code = _number(response) if found else None
    if net_error is None or (found and response_code is None):
        return None
    return failure._replace(net_error=net_error, response_code=response_code)


def encode(failure: Failure) -> str:
    """The text the client layer shows for `failure`; `decode` inverts it."""
    text = failure.kind if failure.kind is not None else f"{NATIVE_KIND} {failure.code}"
    if failure.net_error is None:
        return text
    if failure.response_code is None:
        return f"{text}{_NET_INTRO}{failure.net_error})"
    return f"{text}{_NET_INTRO}{failure.net_error}{_RESPONSE_INTRO}{failure.response_code})"


# Net errors by what they mean to a caller.
_CONNECT = frozenset({
    NetError.CONNECTION_REFUSED, NetError.CONNECTION_FAILED, NetError.NAME_NOT_RESOLVED,
    NetError.INTERNET_DISCONNECTED, NetError.ADDRESS_INVALID, NetError.ADDRESS_UNREACHABLE,
    NetError.NAME_RESOLUTION_FAILED, NetError.DNS_MALFORMED_RESPONSE,
    NetError.QUIC_HANDSHAKE_FAILED})
_PROTOCOL = frozenset({
    NetError.INVALID_RESPONSE, NetError.INVALID_CHUNKED_ENCODING, NetError.EMPTY_RESPONSE,
    NetError.RESPONSE_HEADERS_TOO_BIG, NetError.HTTP2_PROTOCOL_ERROR,
    NetError.CONTENT_LENGTH_MISMATCH, NetError.INCOMPLETE_CHUNKED_ENCODING,
    NetError.QUIC_PROTOCOL_ERROR, NetError.INVALID_HTTP_RESPONSE})

_BY_CODE: Dict[Optional[int], Type[HTTPError]] = {
    CoreResult.TIMEOUT: TimeoutException,
    CoreResult.TLS: TLSError,
    CoreResult.PROXY: ProxyError,
    CoreResult.PROTOCOL: RemoteProtocolError,
    CoreResult.REDIRECT: RedirectError,
    CoreResult.CACHE_MISS: CacheMiss,
    CoreResult.INVALID_ARGUMENT: InvalidRequest,
    CoreResult.CANCELED: TransportError,
}


def class_for(failure: Failure) -> Type[HTTPError]:
    """The class of a request's failure; HTTPError for what no rule names.
    The net error decides before the kind; a code without a kind name
    decides nothing."""
    if failure.kind is None:
        return HTTPError
    if failure.net_error == NetError.TOO_MANY_REDIRECTS:
        return TooManyRedirects
    if failure.net_error == NetError.CONTENT_DECODING_FAILED:
        return DecodingError
    if failure.net_error == NetError.CONNECTION_TIMED_OUT:
        return ConnectTimeout
    if failure.net_error == NetError.UPLOAD_FILE_CHANGED:
        return LocalProtocolError
    if failure.code == CoreResult.NETWORK:
        if failure.net_error in _CONNECT:
            return ConnectError
        if failure.net_error in _PROTOCOL:
            return RemoteProtocolError
        return ReadError
    return _BY_CODE.get(failure.code, HTTPError)


def error_from_text(text: str, *, request: Optional["Request"] = None,
                    websocket: bool = False) -> HTTPError:
    """The exception for a native error text (a RuntimeError's, or an error
    event's); a WebSocket's failure that no rule names is a WebSocketError."""
    failure = decode(text)
    cls = class_for(failure) if failure is not None else HTTPError
    if websocket and cls is HTTPError:
        cls = WebSocketError
    if failure is None:
        return cls(text, request=request)
    return cls(text, kind=failure.kind, net_error=failure.net_error,
               response_code=failure.response_code, request=request)


def from_native(error: RuntimeError, *, request: Optional["Request"] = None,
                websocket: bool = False) -> HTTPError:
    """The exception for a native call's RuntimeError."""
    return error_from_text(str(error), request=request, websocket=websocket)


def from_call(error: RuntimeError, *, refused_argument: bool,
              request: Optional["Request"] = None,
              websocket: bool = False) -> Union[ValueError, HTTPError]:
    """The exception for a RuntimeError of a native call whose arguments the
    caller has checked: ValueError with the module's text when the check
    found a value the module refuses (the module checks those before
    anything else), else as `from_native`."""
    if refused_argument:
        return ValueError(str(error))
    return from_native(error, request=request, websocket=websocket)


def core_error(code: CoreResult, net_error: int, *,
               request: Optional["Request"] = None) -> HTTPError:
    """The exception the native module would give for a request failing
    with `code` and `net_error`: for a failure the package decides itself."""
    return error_from_text(encode(Failure(code.kind, code, int(net_error))), request=request)
