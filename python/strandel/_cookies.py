"""Cookies as httpx shapes them: `Cookies`, a mapping of names to values
whose entries also carry a domain and a path; `ClientCookies`, the live view
of a client's jar (the Core's, through the engine's cookie entries, plus the
cookies given without a domain, which the client sends to every host); and
the Cookie header a request carries for the cookies given to it."""

from __future__ import annotations

import re
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, MutableMapping,
                    NamedTuple, Optional, Sequence, Tuple, Union)
from urllib.parse import urlsplit

CookieTypes = Union["Cookies", Mapping[str, str], Sequence[Tuple[str, str]], None]

# A cookie name is an RFC 6265 token; a value may not hold what would end it
# or the header line.
_NAME = re.compile(r"^[!#$%&'*+\-.^_`|~0-9A-Za-z]+$")
_BAD_VALUE = re.compile(r'[\x00-\x1f\x7f;",\\]')


class Cookie(NamedTuple):
    """One cookie of a jar. `domain` "" is a cookie sent to every host;
    `host_only`: sent to that host alone, not its subdomains; `expires`:
    seconds since the epoch, None for a session cookie."""

    name: str
    value: str
    domain: str = ""
    path: str = "/"
    secure: bool = False
    http_only: bool = False
    expires: Optional[float] = None
    host_only: bool = False


def check_cookie(name: Any, value: Any) -> None:
    if not isinstance(name, str):
        raise TypeError(f"cookie name must be str, not {type(name).__name__}")
    if not isinstance(value, str):
        raise TypeError(f"cookie value must be str, not {type(value).__name__}")
    if not _NAME.match(name):
        raise ValueError(f"invalid cookie name {name!r}")
    if _BAD_VALUE.search(value):
        raise ValueError(f"invalid cookie value {value!r} for {name!r}: no controls, "
                         "';', ',', '\"' or '\\'")


class CookieConflict(LookupError):
    """Several cookies have the name asked for: give domain and path."""


def _pick(found: List[Cookie], name: str) -> Optional[Cookie]:
    if not found:
        return None
    if len({(c.domain, c.path) for c in found}) > 1:
        raise CookieConflict(f"multiple cookies exist with name={name}: "
                             "give domain and path to choose one")
    return found[0]


class _CookieMapping(MutableMapping[str, str]):
    """What Cookies and ClientCookies share: the mapping and httpx's methods
    over a list of Cookie records that the subclass keeps."""

    def _records(self) -> List[Cookie]:
        raise NotImplementedError

    def set(self, name: str, value: str, domain: str = "", path: str = "/") -> None:
        raise NotImplementedError

    def delete(self, name: str, domain: Optional[str] = None,
               path: Optional[str] = None) -> None:
        raise NotImplementedError

    def clear(self, domain: Optional[str] = None, path: Optional[str] = None) -> None:
        raise NotImplementedError

    def _matching(self, name: Optional[str], domain: Optional[str],
                  path: Optional[str]) -> List[Cookie]:
        return [c for c in self._records()
                if (name is None or c.name == name)
                and (domain is None or c.domain == domain)
                and (path is None or c.path == path)]

    def get(self, name: str, default: Optional[str] = None,  # type: ignore[override]
            domain: Optional[str] = None, path: Optional[str] = None) -> Optional[str]:
        """The value of the cookie `name` (within `domain` and `path` when
        given); CookieConflict when several match."""
        cookie = _pick(self._matching(name, domain, path), name)
        return default if cookie is None else cookie.value

    @property
    def jar(self) -> List[Cookie]:
        """Every cookie, with its domain, path and flags."""
        return self._records()

    def __getitem__(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise KeyError(name)
        return value

    def __setitem__(self, name: str, value: str) -> None:
        self.set(name, value)

    def __delitem__(self, name: str) -> None:
        if not self._matching(name, None, None):
            raise KeyError(name)
        self.delete(name)

    def __iter__(self) -> Iterator[str]:
        return iter([c.name for c in self._records()])

    def __len__(self) -> int:
        return len(self._records())

    def __bool__(self) -> bool:
        return bool(self._records())

    def __contains__(self, name: object) -> bool:
        return any(c.name == name for c in self._records())

    def items(self) -> List[Tuple[str, str]]:  # type: ignore[override]
        return [(c.name, c.value) for c in self._records()]

    def update(self, cookies: Any = None, **kwargs: str) -> None:  # type: ignore[override]
        """Adds `cookies` (a mapping, pairs or Cookies: its domains and paths
        kept) and keyword cookies."""
        if isinstance(cookies, _CookieMapping):
            for cookie in cookies.jar:
                self.set(cookie.name, cookie.value, cookie.domain, cookie.path)
        elif cookies is not None:
            for name, value in _pairs(cookies):
                self.set(name, value)
        for name, value in kwargs.items():
            self.set(name, value)

    def __repr__(self) -> str:
        try:
            records = self._records()
        except NotImplementedError:  # a repr must not fail: a Core without a readable jar
            return f"<{type(self).__name__}[jar unreadable on this Core]>"
        shown = ", ".join(f"<Cookie {c.name}={c.value} for {c.domain or '*'}{c.path}>"
                          for c in records)
        return f"<{type(self).__name__}[{shown}]>"


def _pairs(cookies: Any) -> List[Tuple[str, str]]:
    if isinstance(cookies, Mapping):
        return list(cookies.items())
    if isinstance(cookies, (str, bytes)):
        raise TypeError("cookies must be a mapping, a list of (name, value) pairs or "
                        f"Cookies, not {type(cookies).__name__}")
    try:
        pairs = [tuple(pair) for pair in cookies]
    except TypeError:
        raise TypeError("cookies must be a mapping, a list of (name, value) pairs or "
                        f"Cookies, not {type(cookies).__name__}") from None
    for pair in pairs:
        if len(pair) != 2:
            raise ValueError(f"a cookie pair must be (name, value), not {pair!r}")
    return pairs


class Cookies(_CookieMapping):
    """Cookies held by the package: given to a request or client, or set by
    a response. ``Cookies({"a": "1"})``; ``set(name, value, domain, path)``;
    ``get(name, default, domain, path)``; ``delete``; ``clear``; ``jar``."""

    def __init__(self, cookies: CookieTypes = None) -> None:
        self._jar: List[Cookie] = []
        self.update(cookies)

    def _records(self) -> List[Cookie]:
        return list(self._jar)

    def __len__(self) -> int:
        return len(self._jar)

    def __bool__(self) -> bool:
        return bool(self._jar)

    def set(self, name: str, value: str, domain: str = "", path: str = "/") -> None:
        check_cookie(name, value)
        self._jar = [c for c in self._jar
                     if (c.name, c.domain, c.path) != (name, domain, path)]
        self._jar.append(Cookie(name, value, domain, path))

    def _add(self, cookie: Cookie) -> None:
        self._jar = [c for c in self._jar
                     if (c.name, c.domain, c.path) != (cookie.name, cookie.domain, cookie.path)]
        self._jar.append(cookie)

    def delete(self, name: str, domain: Optional[str] = None,
               path: Optional[str] = None) -> None:
        gone = self._matching(name, domain, path)
        self._jar = [c for c in self._jar if c not in gone]

    def clear(self, domain: Optional[str] = None, path: Optional[str] = None) -> None:
        gone = self._matching(None, domain, path)
        self._jar = [c for c in self._jar if c not in gone]


# ---- the client's live view of the Core's jar --------------------------------------

NO_JAR = "this Core does not support cookies"


def _entry(engine: Any, name: str) -> Callable[..., Any]:
    """An engine's cookie entry; a module built before the entries existed
    has none, and says so as a module on a Core without them does."""
    method = getattr(engine, name, None)
    if method is None:
        raise NotImplementedError(NO_JAR)
    return method  # type: ignore[no-any-return]


class ClientCookies(_CookieMapping):
    """A client's cookies, live: the Core's jar, as every response fills
    it and every request reads it, and the cookies set without a domain,
    which the client keeps and sends to every host (``Client(cookies=...)``
    gives those). `engines` gives the engines whose jars this view covers
    (a client routing by environment proxies has one per proxy): reads join
    them, writes go to each.

    On a Core without the cookie entries, any use of the jar raises
    NotImplementedError; the cookies without a domain still work."""

    def __init__(self, engines: Callable[[], Iterable[Any]],
                 cookies: CookieTypes = None) -> None:
        self._engines = engines
        self._everywhere = Cookies()
        self.update(cookies)

    def _records(self) -> List[Cookie]:
        seen: Dict[Tuple[str, str, str], Cookie] = {}
        for cookie in self._everywhere.jar:
            seen[(cookie.name, cookie.domain, cookie.path)] = cookie
        for engine in self._engines():
            for entry in _entry(engine, "cookies")():
                cookie = Cookie(*entry)
                seen.setdefault((cookie.name, cookie.domain, cookie.path), cookie)
        return list(seen.values())

    def everywhere(self) -> "Cookies":
        """The cookies without a domain, which every request carries."""
        return self._everywhere

    def set(self, name: str, value: str, domain: str = "", path: str = "/") -> None:
        """`domain` "" keeps the cookie in the client, for every host; with a
        domain it goes into the Core's jar (host-only: sent to that host and
        not its subdomains, unless the domain starts with ".")."""
        check_cookie(name, value)
        if not domain:
            self._everywhere.set(name, value, "", path)
            return
        host_only = not domain.startswith(".")
        for engine in self._engines():
            # The Core's refusal is a ValueError naming its reason.
            _entry(engine, "set_cookie")(name, value, domain.lstrip("."), path=path,
                                         host_only=host_only)

    def delete(self, name: str, domain: Optional[str] = None,
               path: Optional[str] = None) -> None:
        if domain in (None, ""):
            self._everywhere.delete(name, None, path)
        if domain != "":
            for engine in self._engines():
                _entry(engine, "delete_cookies")(domain=domain, path=path, name=name)

    def clear(self, domain: Optional[str] = None, path: Optional[str] = None) -> None:
        if domain in (None, ""):
            self._everywhere.clear(None, path)
        if domain != "":
            for engine in self._engines():
                _entry(engine, "delete_cookies")(domain=domain, path=path)


# ---- headers ------------------------------------------------------------------------

def cookie_header(existing: Optional[str], *groups: Optional[_CookieMapping]) -> Optional[str]:
    """The Cookie header for a request: a caller's own Cookie header first,
    then each group's pairs, a later group's value replacing an earlier
    one's of the same name (the request's over the client's)."""
    values: Dict[str, str] = {}
    for group in groups:
        if group:
            for name, value in group.items():
                values.pop(name, None)
                values[name] = value
    if not values:
        return existing
    joined = "; ".join(f"{name}={value}" for name, value in values.items())
    return f"{existing}; {joined}" if existing else joined


def as_cookies(cookies: CookieTypes) -> Optional[Cookies]:
    if cookies is None or isinstance(cookies, Cookies):
        return cookies
    return Cookies(cookies)


def _parse_set_cookie(text: str, host: str) -> Optional[Cookie]:
    pair, *attributes = text.split(";")
    name, sep, value = pair.partition("=")
    name, value = name.strip(), value.strip()
    if not sep or not name:
        return None
    domain, path, secure, http_only = host, "/", False, False
    host_only = True
    for attribute in attributes:
        key, _, argument = attribute.partition("=")
        key, argument = key.strip().lower(), argument.strip()
        if key == "domain" and argument:
            domain, host_only = argument.lstrip(".").lower(), False
        elif key == "path" and argument.startswith("/"):
            path = argument
        elif key == "secure":
            secure = True
        elif key == "httponly":
            http_only = True
    if value[:1] == value[-1:] == '"' and len(value) >= 2:
        value = value[1:-1]
    return Cookie(name, value, domain, path, secure, http_only, None, host_only)


def response_cookies(set_cookies: List[str], url: str) -> Cookies:
    """The cookies a response's Set-Cookie headers set, each with the
    domain it is for (the response's host unless it names one)."""
    cookies = Cookies()
    host = (urlsplit(url).hostname or "").lower()
    for text in set_cookies:
        cookie = _parse_set_cookie(text, host)
        if cookie is not None:
            cookies._add(cookie)
    return cookies


__all__ = ["ClientCookies", "Cookie", "CookieConflict", "Cookies", "as_cookies",
           "cookie_header", "response_cookies"]
