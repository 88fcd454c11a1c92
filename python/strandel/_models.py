"""Request, Response and Redirect."""

from __future__ import annotations

import codecs
import datetime
import json as jsonlib
import time
from http import HTTPStatus
from typing import Any, AsyncIterator, Callable, Dict, Iterator, List, Optional, Protocol

from . import _checks
from ._cookies import Cookies, response_cookies
from ._errors import HTTPStatusError, StreamError
from ._headers import Headers, StatusLine, parse_head, parse_status_line


class Request:
    """What was asked: method, URL, headers as given to the Core (the Core
    adds its own defaults, cookies and framing headers), and the body when it
    was given whole."""

    def __init__(self, method: str, url: str, headers: Optional[Headers] = None,
                 content: Optional[bytes] = None) -> None:
        self.method = method
        self.url = url
        self.headers = headers if headers is not None else Headers()
        self.content = content

    def __repr__(self) -> str:
        return f"<Request [{self.method} {self.url}]>"


class Redirect:
    """One redirect the Core followed (or, with ``follow_redirects=False``,
    did not): the status and head it came with, the URL it came from, the
    target it pointed to and the method of the request to that target."""

    def __init__(self, url: str, status_code: int, head: bytes, target: str,
                 method: str) -> None:
        line, self.headers = parse_head(head)
        self.raw_headers = head
        self.url = url
        self.status_code = status_code
        self.http_version = line.http_version if line else "HTTP/1.1"
        self.reason_phrase = _reason(line.reason_phrase if line else "", status_code)
        self.target = target
        self.method = method

    def __repr__(self) -> str:
        return f"<Redirect [{self.status_code} {self.url} -> {self.target}]>"


class SyncBody(Protocol):
    def next_chunk(self) -> Optional[bytes]: ...
    def close(self) -> None: ...


class AsyncBody(Protocol):
    async def next_chunk(self) -> Optional[bytes]: ...
    async def aclose(self) -> None: ...


def _reason(given: str, status_code: int) -> str:
    if given:
        return given
    try:
        return HTTPStatus(status_code).phrase
    except ValueError:
        return ""


def _charset(content_type: Optional[str]) -> Optional[str]:
    if not content_type:
        return None
    for param in content_type.split(";")[1:]:
        key, _, value = param.partition("=")
        if key.strip().lower() == "charset":
            value = value.strip().strip("'\"")
            try:
                return codecs.lookup(value).name
            except LookupError:
                return None
    return None


class _LineSplitter:
    """Splits text into lines across chunk boundaries, a "\\r\\n" pair even
    when the two characters arrive in different chunks."""

    def __init__(self) -> None:
        self._buffer = ""

    def feed(self, text: str) -> List[str]:
        self._buffer += text
        lines = self._buffer.splitlines(keepends=True)
        if not lines:
            return []
        last = lines[-1]
        # An unterminated line, or a "\r" whose "\n" may be still to come.
        if last.endswith("\r") or last.splitlines()[0] == last:
            self._buffer = lines.pop()
        else:
            self._buffer = ""
        return [line.splitlines()[0] for line in lines]

    def flush(self) -> List[str]:
        rest, self._buffer = self._buffer, ""
        return rest.splitlines() if rest else []


class Response:
    """A response head with its body: read whole (``content``), or streamed
    with ``iter_bytes()`` / ``aiter_bytes()`` inside ``client.stream(...)``."""

    def __init__(self, status_code: int, head: bytes, *, request: Request, url: str,
                 history: Optional[List[Redirect]] = None, started: Optional[float] = None,
                 stream: Any = None, content: Optional[bytes] = None,
                 cache_state: Optional[str] = None) -> None:
        self.status_code = status_code
        # "network", "cache" or "revalidated"; None when the Core does not tell.
        self.extensions: Dict[str, Any] = {"cache_state": cache_state}
        self.raw_headers = head
        # The head is parsed on first use: most callers never look at it.
        self._headers: Optional[Headers] = None
        self._http_version: Optional[str] = None
        self._reason_phrase: Optional[str] = None
        self.request = request
        self.url = url
        self.history: List[Redirect] = history if history is not None else []
        self._started = started if started is not None else time.monotonic()
        self._ended: Optional[float] = None
        self._stream = stream
        self._content = content
        self._encoding: Optional[str] = None
        self._consumed = content is not None
        self.is_closed = stream is None
        # Bytes of the body read so far, as the Core delivers them: after
        # it undid any Content-Encoding, so this counts decoded bytes.
        self.num_bytes_downloaded = len(content) if content is not None else 0
        if self.is_closed:
            self._ended = time.monotonic()

    @property
    def from_cache(self) -> bool:
        """True when the Core answered from its cache, also after revalidating
        with the server; False when it does not say (a Core without that
        report)."""
        return self.extensions.get("cache_state") in ("cache", "revalidated")

    def __getattr__(self, name: str) -> Any:
        if name in ("iter_raw", "aiter_raw"):
            raise AttributeError(
                f"Response has no {name}(): the Core undoes the Content-Encoding before the "
                f"body reaches Python, so the bytes as received are not available; use "
                f"{name.replace('raw', 'bytes')}()")
        raise AttributeError(f"'Response' object has no attribute {name!r}")

    # ---- head ----------------------------------------------------------------

    @property
    def headers(self) -> Headers:
        headers = self._headers
        if headers is None:
            headers = self._headers = parse_head(self.raw_headers)[1]
        return headers

    @headers.setter
    def headers(self, value: Headers) -> None:
        self._headers = value

    def _status_line(self) -> Optional[StatusLine]:
        return parse_status_line(self.raw_headers)

    @property
    def http_version(self) -> str:
        version = self._http_version
        if version is None:
            head = self.raw_headers
            # The versions a status line almost always starts with, without
            # parsing it.
            if head.startswith(b"HTTP/1.1 "):
                version = "HTTP/1.1"
            elif head.startswith(b"HTTP/2 "):
                version = "HTTP/2"
            else:
                line = self._status_line()
                version = line.http_version if line else "HTTP/1.1"
            self._http_version = version
        return version

    @http_version.setter
    def http_version(self, value: str) -> None:
        self._http_version = value

    @property
    def reason_phrase(self) -> str:
        reason = self._reason_phrase
        if reason is None:
            line = self._status_line()
            reason = self._reason_phrase = _reason(line.reason_phrase if line else "",
                                                   self.status_code)
        return reason

    @reason_phrase.setter
    def reason_phrase(self, value: str) -> None:
        self._reason_phrase = value

    def __repr__(self) -> str:
        return f"<Response [{self.status_code} {self.reason_phrase}]>"

    @property
    def cookies(self) -> Cookies:
        """The cookies this response's Set-Cookie headers set (the client's
        jar has taken them already)."""
        return response_cookies(self.headers.get_list("set-cookie"), self.url)

    @property
    def elapsed(self) -> datetime.timedelta:
        """Time from sending the request to the end of the response (to the
        head while a streamed body is still open)."""
        ended = self._ended
        if ended is None:
            ended = time.monotonic()
        return datetime.timedelta(seconds=ended - self._started)

    def _mark_elapsed(self) -> None:
        if self._ended is None:
            self._ended = time.monotonic()

    @property
    def is_informational(self) -> bool:
        return 100 <= self.status_code < 200

    @property
    def is_success(self) -> bool:
        return 200 <= self.status_code < 300

    @property
    def is_redirect(self) -> bool:
        return self.status_code in (301, 302, 303, 307, 308) and "location" in self.headers

    @property
    def is_client_error(self) -> bool:
        return 400 <= self.status_code < 500

    @property
    def is_server_error(self) -> bool:
        return 500 <= self.status_code < 600

    @property
    def is_error(self) -> bool:
        return 400 <= self.status_code < 600

    @property
    def has_redirect_location(self) -> bool:
        return self.is_redirect

    def raise_for_status(self) -> "Response":
        if not self.is_error:
            return self
        kind = "Client error" if self.is_client_error else "Server error"
        message = f"{kind} '{self.status_code} {self.reason_phrase}' for url '{self.url}'"
        raise HTTPStatusError(message, request=self.request, response=self)

    # ---- decoding ------------------------------------------------------------

    @property
    def charset_encoding(self) -> Optional[str]:
        return _charset(self.headers.get("content-type"))

    @property
    def encoding(self) -> str:
        """The declared charset, else UTF-8; settable before ``text`` is read."""
        if self._encoding is None:
            self._encoding = self.charset_encoding or "utf-8"
        return self._encoding

    @encoding.setter
    def encoding(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"encoding must be str, not {type(value).__name__}")
        try:
            self._encoding = codecs.lookup(value).name
        except LookupError:
            raise ValueError(f"unknown encoding {value!r}") from None

    @property
    def content(self) -> bytes:
        if self._content is None:
            raise StreamError("the body of a streamed response is not read yet: "
                              "call read() or aread() first")
        return self._content

    @property
    def text(self) -> str:
        return self.content.decode(self.encoding, errors="replace")

    def json(self, **kwargs: Any) -> Any:
        if self.charset_encoding is not None:
            return jsonlib.loads(self.text, **kwargs)
        return jsonlib.loads(self.content, **kwargs)

    def _decoder(self) -> Callable[..., str]:
        return codecs.getincrementaldecoder(self.encoding)(errors="replace").decode

    # ---- blocking body -------------------------------------------------------

    def _sync_stream(self) -> SyncBody:
        if self._consumed:
            raise StreamError("the response body was already consumed")
        if self.is_closed:
            raise StreamError("the response is closed")
        if not hasattr(self._stream, "close"):
            raise StreamError("use the aiter_*/aread methods of an async response")
        self._consumed = True
        stream: Any = self._stream
        return stream  # type: ignore[no-any-return]

    def iter_bytes(self, chunk_size: Optional[int] = None) -> Iterator[bytes]:
        """The body in the pieces it arrives in, or re-cut to `chunk_size`."""
        if self._content is not None:
            yield from _recut([self._content], chunk_size)
            return
        stream = self._sync_stream()
        try:
            if chunk_size is None:
                yield from _pull(stream, self)
            else:
                yield from _recut(_pull(stream, self), chunk_size)
        finally:
            self.close()

    def iter_text(self, chunk_size: Optional[int] = None) -> Iterator[str]:
        decode = self._decoder()
        for chunk in self.iter_bytes(chunk_size):
            text = decode(chunk)
            if text:
                yield text
        tail = decode(b"", True)
        if tail:
            yield tail

    def iter_lines(self) -> Iterator[str]:
        splitter = _LineSplitter()
        for text in self.iter_text():
            yield from splitter.feed(text)
        yield from splitter.flush()

    def read(self) -> bytes:
        if self._content is None:
            self._content = b"".join(self.iter_bytes())
        return self._content

    def close(self) -> None:
        if not self.is_closed:
            self.is_closed = True
            self._mark_elapsed()
            self._stream.close()

    def __enter__(self) -> "Response":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- asyncio body --------------------------------------------------------

    def _async_stream(self) -> AsyncBody:
        if self._consumed:
            raise StreamError("the response body was already consumed")
        if self.is_closed:
            raise StreamError("the response is closed")
        if not hasattr(self._stream, "aclose"):
            raise StreamError("use the iter_*/read methods of a blocking response")
        self._consumed = True
        stream: Any = self._stream
        return stream  # type: ignore[no-any-return]

    async def aiter_bytes(self, chunk_size: Optional[int] = None) -> AsyncIterator[bytes]:
        _checks.size_limit(chunk_size, "chunk_size")
        if self._content is not None:
            for piece in _recut([self._content], chunk_size):
                yield piece
            return
        stream = self._async_stream()
        buffer = bytearray()
        try:
            while True:
                chunk = await stream.next_chunk()
                if chunk is None:
                    break
                self.num_bytes_downloaded += len(chunk)
                if chunk_size is None:
                    if chunk:
                        yield chunk
                    continue
                buffer += chunk
                while len(buffer) >= chunk_size:
                    yield bytes(buffer[:chunk_size])
                    del buffer[:chunk_size]
            if buffer:
                yield bytes(buffer)
        finally:
            await self.aclose()

    async def aiter_text(self, chunk_size: Optional[int] = None) -> AsyncIterator[str]:
        decode = self._decoder()
        async for chunk in self.aiter_bytes(chunk_size):
            text = decode(chunk)
            if text:
                yield text
        tail = decode(b"", True)
        if tail:
            yield tail

    async def aiter_lines(self) -> AsyncIterator[str]:
        splitter = _LineSplitter()
        async for text in self.aiter_text():
            for line in splitter.feed(text):
                yield line
        for line in splitter.flush():
            yield line

    async def aread(self) -> bytes:
        if self._content is None:
            self._content = b"".join([chunk async for chunk in self.aiter_bytes()])
        return self._content

    async def aclose(self) -> None:
        if not self.is_closed:
            self.is_closed = True
            self._mark_elapsed()
            await self._stream.aclose()


def _pull(stream: SyncBody, response: Response) -> Iterator[bytes]:
    next_chunk = stream.next_chunk
    while True:
        chunk = next_chunk()
        if chunk is None:
            return
        response.num_bytes_downloaded += len(chunk)
        if chunk:
            yield chunk


def _recut(chunks: Any, size: Optional[int]) -> Iterator[bytes]:
    if size is None:
        for chunk in chunks:
            if chunk:
                yield chunk
        return
    _checks.size_limit(size, "chunk_size")
    buffer = bytearray()
    for chunk in chunks:
        buffer += chunk
        while len(buffer) >= size:
            yield bytes(buffer[:size])
            del buffer[:size]
    if buffer:
        yield bytes(buffer)
