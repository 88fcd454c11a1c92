"""Checks of the caller's arguments, made before any native call so that a
mistake is reported with the argument's name and what is wrong with it:
TypeError for a wrong type, ValueError for a wrong value, InvalidURL for a
URL that cannot be used. The native module and the Core check little and
say less ("InvalidArgument"), and some of their conversions would take a
wrong value silently (a list of ints as bytes, any object as a flag)."""

from __future__ import annotations

import functools
import io
import os
import re
import ssl
from typing import Any, Collection, Dict, List, Mapping, Optional, Tuple
from urllib.parse import SplitResult, urlsplit

from ._codes import CACHE_MODES, HTTP_VERSIONS, PRIORITIES
from ._errors import InvalidURL

HTTP_SCHEMES = ("http", "https")
WEBSOCKET_SCHEMES = ("ws", "wss")
PROXY_SCHEMES = ("http", "https", "socks5", "socks5h")
# The Core's bound on a request head: request line and headers.
MAX_REQUEST_HEAD = 256 * 1024
H3_NAMES = frozenset({"h3", "v3", "http/3"})

# RFC 9110 tokens: methods and header names.
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
# What a header line cannot carry (tab is fine), and what a URL cannot.
_CONTROL_CHARACTER = re.compile(r"[\x00-\x08\x0a-\x1f\x7f]")
_NOT_IN_URL = re.compile(r"[\x00-\x20\x7f]")
# The host part of an authority: a bracketed IPv6 literal (with a zone), or a
# name of letters, digits, "-", ".", "_", "~", any non-ASCII character (an
# international name), and percent-encodings of those; then an optional port.
_HOST_PORT = re.compile(
    r"(\[[0-9A-Fa-f:.]+(%25[^\]]+)?\]"
    r"|([-A-Za-z0-9._~\u0080-\U0010ffff]"
    r"|%(2[dDeE]|3[0-9]|[46][1-9A-Fa-f]|[57][0-9aA]|5[fF]|7[eE]))+)"
    r"(:[0-9]*)?")
_PRIMITIVES = (str, int, float, bool, type(None))


def type_name(value: Any) -> str:
    return type(value).__name__


def _choices(names: Collection[str]) -> str:
    return ", ".join(repr(n) for n in sorted(names))


def is_token(text: str) -> bool:
    return _TOKEN.fullmatch(text) is not None


def _has_control(text: str) -> bool:
    return _CONTROL_CHARACTER.search(text) is not None


_CONTROL = "control characters (CR, LF, NUL...)"


def text(value: Any, name: str, *, optional: bool = True) -> Optional[str]:
    """A str (or None when `optional`) that may go into a header line."""
    if value is None and optional:
        return None
    if not isinstance(value, str):
        allowed = "str or None" if optional else "str"
        raise TypeError(f"{name} must be {allowed}, not {type_name(value)}")
    if _has_control(value):
        raise ValueError(f"{name} must not contain {_CONTROL}: {value!r}")
    return value


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be bool, not {type_name(value)}")
    return value


def count(value: Any, name: str) -> int:
    """An int >= 0."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int, not {type_name(value)}")
    if value < 0:
        raise ValueError(f"{name} must be >= 0, not {value}")
    return value


def url(value: Any, name: str = "url", schemes: Tuple[str, ...] = HTTP_SCHEMES) -> None:
    """A URL the Core can use: one of `schemes`, a host, a port in range, no
    white space or control characters."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type_name(value)}")
    str_url(value, name, schemes)


# Most programs ask for the same few URLs again and again: a URL found good
# is not parsed again. `str_url`: the check of a URL known to be a str.
@functools.lru_cache(maxsize=512)
def str_url(value: str, name: str, schemes: Tuple[str, ...]) -> SplitResult:
    if _NOT_IN_URL.search(value):
        raise InvalidURL(f"{name} must not contain spaces or control characters: {value!r}")
    # urlsplit refuses only a malformed host (brackets, IPv6), and how much
    # it checks differs between Python releases; the port is read apart.
    try:
        parts = urlsplit(value)
    except ValueError as e:
        raise InvalidURL(f"invalid host in {name} {value!r}: {e}") from None
    try:
        port = parts.port
    except ValueError as e:
        raise InvalidURL(f"invalid port in {name} {value!r}: {e}") from None
    scheme = parts.scheme.lower()
    if not scheme or not parts.netloc and scheme not in schemes:
        wanted = " or ".join(f"'{s}://'" for s in schemes)
        raise InvalidURL(f"{name} {value!r} has no scheme: it must start with {wanted}")
    if scheme not in schemes:
        raise InvalidURL(f"unsupported URL scheme {parts.scheme!r} in {name} {value!r} "
                         f"(use {', '.join(schemes)})")
    if not parts.hostname:
        raise InvalidURL(f"{name} {value!r} has no host")
    userinfo, _, host_port = parts.netloc.rpartition("@")
    if "@" in userinfo or not _HOST_PORT.fullmatch(host_port):
        raise InvalidURL(f"invalid host in {name} {value!r}")
    if port == 0:
        raise InvalidURL(f"invalid port in {name} {value!r}: 0")
    return parts


def _header_text(value: Any, what: str) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, (bytes, bytearray)):
        try:
            return bytes(value).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{what} bytes must be UTF-8: {bytes(value)!r}") from None
    raise TypeError(f"{what} must be str, not {type_name(value)}")


def header(name: Any, value: Any) -> Tuple[str, str]:
    """One header as the Core takes it; bytes are taken as httpx takes them."""
    if type(name) is not str:
        name = _header_text(name, "header name")
    if _TOKEN.fullmatch(name) is None:
        raise ValueError(f"invalid header name {name!r}")
    if type(value) is not str:
        value = _header_text(value, "header value")
    if _CONTROL_CHARACTER.search(value) is not None:
        raise ValueError(f"header value of {name!r} must not contain {_CONTROL}: {value!r}")
    return name, value


def head_size(method_: str, url_: str, headers: List[Tuple[str, str]]) -> None:
    characters = len(method_) + len(url_) + 12 + 4 * len(headers)
    for name, value in headers:
        characters += len(name) + len(value)
    if characters * 4 <= MAX_REQUEST_HEAD:
        return  # within the bound even if every character took four bytes in UTF-8
    size = len(method_) + len(url_.encode("utf-8")) + 12 + sum(
        len(n) + len(v.encode("utf-8")) + 4 for n, v in headers)
    if size > MAX_REQUEST_HEAD:
        raise ValueError(f"the request head (URL and headers) would be {size} bytes, more than "
                         f"the {MAX_REQUEST_HEAD} this client sends")


def header_pairs(headers: Any, name: str = "headers") -> List[Tuple[Any, Any]]:
    """The pairs of a `headers=` argument, before each is checked."""
    if isinstance(headers, Mapping):
        return list(headers.items())
    if isinstance(headers, (str, bytes)) or not hasattr(headers, "__iter__"):
        raise TypeError(f"{name} must be a mapping or a list of (name, value) pairs, "
                        f"not {type_name(headers)}")
    pairs = []
    for item in headers:
        if not isinstance(item, (tuple, list)) or len(item) != 2:
            raise TypeError(f"{name} must be a mapping or a list of (name, value) pairs; "
                            f"got an item {item!r}")
        pairs.append((item[0], item[1]))
    return pairs


# Methods found good, as sent: a program uses a handful, again and again.
_METHODS: Dict[str, str] = {}


def method(value: Any) -> str:
    if type(value) is str:
        known = _METHODS.get(value)
        if known is not None:
            return known
    if not isinstance(value, str):
        raise TypeError(f"method must be str, not {type_name(value)}")
    if not is_token(value):
        raise ValueError(f"invalid method {value!r}")
    upper = value.upper()
    if type(value) is str and len(_METHODS) < 64:
        _METHODS[value] = upper
    return upper


def _primitive(value: Any, name: str) -> None:
    if not isinstance(value, _PRIMITIVES):
        raise TypeError(f"{name} values must be str, int, float, bool or None, "
                        f"not {type_name(value)}")


def fields(value: Any, name: str) -> None:
    """`params=` or a form's `data=`: a mapping or pairs of primitive values
    (or lists of them); `params` may also be a str."""
    if value is None or (name == "params" and isinstance(value, str)):
        return
    if isinstance(value, Mapping):
        items = list(value.items())
    elif isinstance(value, (list, tuple)):
        items = list(value)
        for item in items:
            if not isinstance(item, (tuple, list)) or len(item) != 2:
                raise TypeError(f"{name} must be a mapping or a list of (key, value) pairs; "
                                f"got an item {item!r}")
    else:
        raise TypeError(f"{name} must be a mapping or a list of (key, value) pairs, "
                        f"not {type_name(value)}")
    for key, item in items:
        if not isinstance(key, str):
            raise TypeError(f"{name} keys must be str, not {type_name(key)}")
        for v in item if isinstance(item, (list, tuple)) else (item,):
            _primitive(v, name)


def content(value: Any) -> None:
    """`content=`: bytes, str, a file, or an iterable (or async iterable) of
    bytes. A list or tuple is looked at whole; other iterables piece by piece
    as they are sent (see ``_content.piece``)."""
    if value is None or isinstance(value, (bytes, bytearray, memoryview, str)):
        return
    if hasattr(value, "read") or hasattr(value, "__aiter__"):
        return
    if isinstance(value, (list, tuple)):
        for piece in value:
            if not isinstance(piece, (bytes, bytearray, memoryview, str)):
                raise TypeError(f"content must be bytes, str, a file or an iterable of bytes; "
                                f"got a {type_name(value)} holding {type_name(piece)}")
        return
    if isinstance(value, Mapping) or not hasattr(value, "__iter__"):
        raise TypeError(f"content must be bytes, str, a file or an iterable of bytes, "
                        f"not {type_name(value)}")


def files(value: Any) -> None:
    if value is None:
        return
    if isinstance(value, Mapping):
        items = list(value.items())
    elif isinstance(value, (list, tuple)):
        items = list(value)
    else:
        raise TypeError(f"files must be a mapping or a list of (name, file) pairs, "
                        f"not {type_name(value)}")
    for item in items:
        if not isinstance(item, tuple) or len(item) != 2 or not isinstance(item[0], str):
            raise TypeError(f"files must map field names (str) to files; got {item!r}")
        spec = item[1]
        if isinstance(spec, tuple):
            if not 2 <= len(spec) <= 4:
                raise TypeError(f"a file of files must be a file, bytes, str, or a tuple "
                                f"(filename, file[, content_type[, headers]]); got a tuple "
                                f"of {len(spec)}")
            if spec[0] is not None and not isinstance(spec[0], str):
                raise TypeError(f"a file name in files must be str or None, "
                                f"not {type_name(spec[0])}")
            spec = spec[1]
        if not isinstance(spec, (bytes, bytearray, memoryview, str)) and \
                not hasattr(spec, "read"):
            raise TypeError(f"a file of files must be a file, bytes or str, "
                            f"not {type_name(spec)}")


def body_arguments(content_: Any, data: Any, files_: Any, json: Any) -> None:
    given = [n for n, v in (("content", content_), ("json", json)) if v is not None]
    if data is not None or files_ is not None:
        given.append("data/files")
    if len(given) > 1:
        raise ValueError("give the body as one of content=, data= (with files=) or json=, "
                         "not " + " and ".join(given))
    content(content_)
    if data is not None and not isinstance(data, (str, bytes)):
        fields(data, "data")
    files(files_)


def cache(value: Any, name: str = "cache") -> Optional[str]:
    """`cache=`: True (the default mode), False (neither read nor stored) or
    a mode name; the native mode name, None for the default."""
    if isinstance(value, bool):
        return None if value else "no_store"
    if isinstance(value, str):
        if value not in CACHE_MODES:
            raise ValueError(f"{name} must be True, False or one of {_choices(CACHE_MODES)}, "
                             f"not {value!r}")
        return None if value == "default" else value
    raise TypeError(f"{name} must be bool or a cache mode name, not {type_name(value)}")


def priority(value: Any) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"priority must be str or None, not {type_name(value)}")
    if value not in PRIORITIES:
        raise ValueError(f"priority must be one of {_choices(PRIORITIES)}, not {value!r}")
    return value


def http_version(value: Any) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"http_version must be str or None, not {type_name(value)}")
    if value not in HTTP_VERSIONS:
        raise ValueError(f"http_version must be one of 'h1', 'h2', 'h3' or None, "
                         f"not {value!r}")
    return value


def profile_namespace(value: Any) -> None:
    if value is None:
        return
    if not isinstance(value, str):
        raise TypeError(f"profile_namespace must be str or None, not {type_name(value)}")
    if not (0 < len(value) <= 64) or value.startswith(".") or \
            any(not (c.isascii() and (c.isalnum() or c in "._-")) for c in value):
        raise ValueError(f"profile_namespace must be 1 to 64 letters, digits, '.', '_' or '-', "
                         f"not starting with '.': {value!r}")


def http3_without_proxy(version: Any, proxy_: Any) -> None:
    if version in H3_NAMES and proxy_ is not None:
        raise ValueError(f"http_version={version!r} speaks HTTP/3 alone, which cannot go "
                         f"through a proxy")


def verify(value: Any) -> None:
    if isinstance(value, ssl.SSLContext):
        raise TypeError("verify= cannot take an ssl.SSLContext: TLS here is not Python's ssl "
                        "module, so the context's settings could not be honoured; pass "
                        "verify=False, verify='/path/to/ca-bundle.pem' or ca_pem=<PEM text>")
    if not isinstance(value, (bool, str, os.PathLike)):
        raise TypeError(f"verify must be bool or the path of a CA bundle, "
                        f"not {type_name(value)}")


def path(value: Any, name: str) -> None:
    if value is not None and not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path (str or os.PathLike) or None, "
                        f"not {type_name(value)}")


def ca_pem(value: Any) -> None:
    if value is None or isinstance(value, bytes):
        return
    if not isinstance(value, str):
        raise TypeError(f"ca_pem must be bytes or str or None, not {type_name(value)}")
    if not value.isascii():
        raise ValueError("ca_pem must be PEM text (ASCII)")


def pem_bundle(value: bytes, name: str) -> None:
    if b"-----BEGIN CERTIFICATE-----" not in value:
        raise ValueError(f"{name} holds no PEM certificate (-----BEGIN CERTIFICATE-----)")


def proxy(value: Any) -> None:
    if value is not None:
        url(value, "proxy", PROXY_SCHEMES)


def proxy_auth(value: Any) -> None:
    if value is None:
        return
    if not isinstance(value, tuple) or len(value) != 2 or \
            not all(isinstance(v, str) for v in value):
        raise TypeError(f"proxy_auth must be a (username, password) tuple of str, "
                        f"got {type_name(value)}")


def subprotocols(value: Any) -> None:
    if value is None:
        return
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise TypeError(f"subprotocols must be a list of str, not {type_name(value)}")
    seen = set()
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"subprotocols must be a list of str; got {type_name(item)}")
        if not is_token(item):
            raise ValueError(f"invalid subprotocol {item!r}")
        if item in seen:
            raise ValueError(f"subprotocol {item!r} is given twice")
        seen.add(item)


def close_frame(code: Any, reason: Any) -> None:
    """A close code and reason that a close frame may carry."""
    if isinstance(code, bool) or not isinstance(code, int):
        raise TypeError(f"code must be int, not {type_name(code)}")
    if not (1000 <= code <= 1003 or 1007 <= code <= 1014 or 3000 <= code <= 4999):
        raise ValueError(f"code must be 1000 to 1003, 1007 to 1014 or 3000 to 4999, not {code}")
    if not isinstance(reason, str):
        raise TypeError(f"reason must be str, not {type_name(reason)}")
    if len(utf8(reason, "reason")) > 123:
        raise ValueError("reason must be at most 123 bytes in UTF-8")


def utf8(text_: str, name: str) -> bytes:
    try:
        return text_.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name} is not valid Unicode text (a lone surrogate)") from None


def size_limit(value: Any, name: str) -> Optional[int]:
    """None, or an int > 0."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int or None, not {type_name(value)}")
    if value <= 0:
        raise ValueError(f"{name} must be > 0, not {value}")
    return value


def is_file(value: Any) -> bool:
    return isinstance(value, io.IOBase) or hasattr(value, "read")
