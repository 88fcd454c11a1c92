"""Client keywords turned into the native engine's keywords, and the checks
of option values the native module refuses."""

from __future__ import annotations

import math
import os
from typing import Any, Dict, FrozenSet, Optional, Tuple, Union
from urllib.parse import unquote, urlsplit, urlunsplit

from . import _native
from ._codes import CACHE_MODES, HTTP_VERSIONS, PRIORITIES
from ._errors import from_call

VerifyTypes = Union[bool, str, "os.PathLike[str]"]


class _UseClientDefault:
    """Marks a request keyword left to the client's setting."""

    def __repr__(self) -> str:
        return "USE_CLIENT_DEFAULT"


USE_CLIENT_DEFAULT: Any = _UseClientDefault()


def split_proxy(proxy: Optional[str], auth: Optional[Tuple[str, str]]
                ) -> Tuple[Optional[str], Optional[str], Optional[str]]:
    """(address without credentials, user name, password): credentials come
    from `auth`, else from the URL's user-info part (percent-decoded)."""
    if proxy is None:
        return None, auth[0] if auth else None, auth[1] if auth else None
    parts = urlsplit(proxy)
    username = password = None
    if parts.username is not None or parts.password is not None:
        username = unquote(parts.username or "")
        password = unquote(parts.password or "")
        host = parts.hostname or ""
        if ":" in host:
            host = f"[{host}]"
        netloc = f"{host}:{parts.port}" if parts.port is not None else host
        proxy = urlunsplit((parts.scheme, netloc, parts.path, parts.query, parts.fragment))
    if auth is not None:
        username, password = auth
    return proxy, username, password


def _read_ca(path: Union[str, "os.PathLike[str]"]) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def engine_options(*, impersonate: Optional[str] = None, proxy: Optional[str] = None,
                   proxy_auth: Optional[Tuple[str, str]] = None, verify: VerifyTypes = True,
                   ca_file: Optional[Union[str, "os.PathLike[str]"]] = None,
                   ca_pem: Optional[Union[bytes, str]] = None, user_agent: Optional[str] = None,
                   accept_language: Optional[str] = None, http_version: Optional[str] = None,
                   cache: bool = True, profile_namespace: Optional[str] = None
                   ) -> Dict[str, Any]:
    """`verify`: True (the Core's own trust), False (no verification) or the
    path of a PEM CA bundle; `ca_file` / `ca_pem` give the bundle too."""
    if isinstance(verify, (str, os.PathLike)):
        ca_file, verify = verify, True
    if ca_file is not None:
        if ca_pem is not None:
            raise ValueError("give the CA bundle as ca_file (or verify=path) or as ca_pem, "
                             "not both")
        ca_pem = _read_ca(ca_file)
    if isinstance(ca_pem, str):
        ca_pem = ca_pem.encode("ascii")
    address, username, password = split_proxy(proxy, proxy_auth)
    return dict(impersonate=impersonate, proxy=address, verify=bool(verify), ca_pem=ca_pem,
                user_agent=user_agent, accept_language=accept_language,
                proxy_username=username, proxy_password=password, http_version=http_version,
                cache=bool(cache), profile_namespace=profile_namespace)


def make_engine(options: Dict[str, Any]) -> Any:
    try:
        return _native.PyEngine(**options)
    except RuntimeError as e:
        refused = _name_refused(options["http_version"], HTTP_VERSIONS)
        raise from_call(e, refused_argument=refused) from None


def _name_refused(name: Any, names: FrozenSet[str]) -> bool:
    return isinstance(name, str) and name not in names


def timeout_refused(timeout: Any) -> bool:
    """A timeout the native module refuses as a value: negative, NaN or
    infinite (one it cannot take as a number is a TypeError of its own)."""
    if timeout is None or isinstance(timeout, str):
        return False
    try:
        seconds = float(timeout)
    except (TypeError, ValueError, OverflowError):
        return False
    return not seconds >= 0 or math.isinf(seconds)


def request_options_refused(timeout: Any, cache: Any, priority: Any) -> bool:
    """A value of these request options that the native module refuses."""
    return timeout_refused(timeout) or _name_refused(cache, CACHE_MODES) or \
        _name_refused(priority, PRIORITIES)
