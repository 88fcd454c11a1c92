"""Request bodies (bytes, text, form, JSON, multipart, or streamed from an
iterable, an async iterable or a file) and query parameters."""

from __future__ import annotations

import io
import json as jsonlib
import mimetypes
import os
import stat
import uuid
from typing import (Any, AsyncIterable, Iterable, List, Mapping, Optional, Sequence, Tuple,
                    Union)
from urllib.parse import urlencode, urlsplit, urlunsplit

# Pieces handed to one native upload write: large enough to be cheap, small
# enough that a write blocked on back-pressure is never holding much.
UPLOAD_PIECE = 256 * 1024

PrimitiveData = Optional[Union[str, int, float, bool]]
QueryParamTypes = Union[Mapping[str, Union[PrimitiveData, Sequence[PrimitiveData]]],
                        Sequence[Tuple[str, PrimitiveData]], str, None]
# A form's fields (values: primitives or lists of them), or a body as it is.
RequestData = Union[Mapping[str, Any], str, bytes]
RequestContent = Union[bytes, bytearray, memoryview, str, Iterable[bytes],
                       AsyncIterable[bytes], io.IOBase]
FileContent = Union[bytes, str, io.IOBase, Any]
FileTypes = Union[FileContent, Tuple[Optional[str], FileContent],
                  Tuple[Optional[str], FileContent, Optional[str]],
                  Tuple[Optional[str], FileContent, Optional[str], Mapping[str, str]]]
RequestFiles = Union[Mapping[str, FileTypes], Sequence[Tuple[str, FileTypes]]]


def _primitive(value: PrimitiveData) -> str:
    if value is True:
        return "true"
    if value is False:
        return "false"
    if value is None:
        return ""
    return str(value)


def _pairs(params: Any) -> List[Tuple[str, str]]:
    items = params.items() if isinstance(params, Mapping) else params
    out: List[Tuple[str, str]] = []
    for key, value in items:
        if isinstance(value, (list, tuple)):
            out.extend((str(key), _primitive(v)) for v in value)
        else:
            out.append((str(key), _primitive(value)))
    return out


def merge_params(url: str, params: QueryParamTypes) -> str:
    """Appends `params` to the URL's query, keeping what it already has."""
    if not params:
        return url
    extra = params if isinstance(params, str) else urlencode(_pairs(params))
    parts = urlsplit(url)
    query = f"{parts.query}&{extra}" if parts.query else extra
    return urlunsplit((parts.scheme, parts.netloc, parts.path, query, parts.fragment))


def join_url(base_url: str, url: str) -> str:
    """A relative URL is appended to the base URL's path (not resolved as a
    browser would), so ``base_url="http://h/api"`` and ``"/users"`` give
    ``http://h/api/users``."""
    if not base_url or urlsplit(url).scheme:
        return url
    if not url:
        return base_url
    return base_url.rstrip("/") + "/" + url.lstrip("/")


class Encoded:
    """An encoded body: `whole` bytes, or a `stream` to upload piece by piece;
    `size` its length in bytes when known before sending (None for a stream
    of unknown length, which goes out chunked)."""

    def __init__(self, whole: Optional[bytes] = None, stream: Any = None,
                 content_type: Optional[str] = None) -> None:
        self.whole = whole
        self.stream = stream
        self.content_type = content_type
        self.size: Optional[int] = len(whole) if whole is not None else \
            stream_size(stream) if stream is not None else None


def stream_size(stream: Any) -> Optional[int]:
    """The bytes left in a binary file (from its position to its end), or in
    a list or tuple of pieces; None when that cannot be known beforehand."""
    if isinstance(stream, (list, tuple)):
        return sum(len(p.encode("utf-8")) if isinstance(p, str) else len(p) for p in stream)
    if not hasattr(stream, "read") or isinstance(stream, io.TextIOBase) or \
            "b" not in getattr(stream, "mode", "b"):
        return None
    try:
        position = stream.tell()
        try:
            info = os.fstat(stream.fileno())
        except (AttributeError, OSError, io.UnsupportedOperation):
            info = None
        if info is not None:
            return max(0, info.st_size - position) if stat.S_ISREG(info.st_mode) else None
        if not stream.seekable():
            return None
        end: int = stream.seek(0, io.SEEK_END)
        stream.seek(position)
        return max(0, end - int(position))
    except (AttributeError, OSError, ValueError):
        return None


def encode_body(content: Optional[RequestContent] = None, data: Optional[RequestData] = None,
                files: Optional[RequestFiles] = None, json: Any = None) -> Encoded:
    if content is not None:
        if isinstance(content, str):
            return Encoded(whole=content.encode("utf-8"))
        if isinstance(content, (bytes, bytearray, memoryview)):
            return Encoded(whole=bytes(content))
        if hasattr(content, "read") or hasattr(content, "__aiter__") or \
                hasattr(content, "__iter__"):
            return Encoded(stream=content)
        raise TypeError(f"unsupported content type: {type(content).__name__}")
    if files:
        if isinstance(data, (str, bytes)):
            raise TypeError("data must be a mapping of form fields when files are given")
        return _multipart(data or {}, files)
    if data is not None:
        if isinstance(data, (bytes, str)):
            return encode_body(content=data)
        return Encoded(whole=urlencode(_pairs(data)).encode("ascii"),
                       content_type="application/x-www-form-urlencoded")
    if json is not None:
        try:
            text = jsonlib.dumps(json, ensure_ascii=False, separators=(",", ":"),
                                 allow_nan=False)
        except (TypeError, ValueError) as e:
            raise type(e)(f"json: {e}") from None
        return Encoded(whole=text.encode("utf-8"), content_type="application/json")
    return Encoded()


def _quote(value: str) -> str:
    return value.replace("\\", "\\\\").replace('"', "%22").replace("\r", "%0D") \
        .replace("\n", "%0A")


def _read_file(value: Any) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if hasattr(value, "read"):
        read = value.read()
        return read.encode("utf-8") if isinstance(read, str) else bytes(read)
    return b"".join(value)


def _multipart(data: Mapping[str, Any], files: RequestFiles) -> Encoded:
    boundary = uuid.uuid4().hex
    parts: List[bytes] = []
    for name, value in _pairs(data):
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{_quote(name)}"'
                     f"\r\n\r\n".encode() + value.encode("utf-8") + b"\r\n")
    items = files.items() if isinstance(files, Mapping) else files
    for name, spec in items:
        headers: Mapping[str, str] = {}
        content_type: Optional[str] = None
        if isinstance(spec, tuple):
            filename, file_value, *rest = spec
            if rest:
                content_type = rest[0]
            if len(rest) > 1:
                headers = rest[1]
        else:
            file_value = spec
            filename = os.path.basename(getattr(spec, "name", "") or "") or "upload"
        if content_type is None and filename:
            content_type = mimetypes.guess_type(filename)[0] or "application/octet-stream"
        head = f'--{boundary}\r\nContent-Disposition: form-data; name="{_quote(name)}"'
        if filename is not None:
            head += f'; filename="{_quote(filename)}"'
        head += "\r\n"
        for key, val in headers.items():
            head += f"{key}: {val}\r\n"
        if content_type and "content-type" not in {k.lower() for k in headers}:
            head += f"Content-Type: {content_type}\r\n"
        parts.append(head.encode("utf-8") + b"\r\n" + _read_file(file_value) + b"\r\n")
    parts.append(f"--{boundary}--\r\n".encode())
    return Encoded(whole=b"".join(parts),
                   content_type=f"multipart/form-data; boundary={boundary}")


def sync_pieces(stream: Any) -> Iterable[bytes]:
    """The pieces of a blocking source (file object or iterable), none larger
    than UPLOAD_PIECE."""
    if hasattr(stream, "read"):
        while True:
            piece = stream.read(UPLOAD_PIECE)
            if not piece:
                return
            yield piece_bytes(piece)
    else:
        for piece in stream:
            yield from split(piece)


def piece_bytes(piece: Any) -> bytes:
    """A piece of a streamed body as bytes; anything but bytes or str is the
    caller's mistake (``bytes(3)`` would send three NUL bytes)."""
    if isinstance(piece, str):
        return piece.encode("utf-8")
    if isinstance(piece, (bytes, bytearray, memoryview)):
        return bytes(piece)
    raise TypeError(f"content must yield bytes or str, not {type(piece).__name__}")


def split(piece: Any) -> Iterable[bytes]:
    data = piece_bytes(piece)
    for start in range(0, len(data), UPLOAD_PIECE):
        yield data[start:start + UPLOAD_PIECE]
