"""The engine options, declared once, and the checks of option values the
native module refuses."""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, FrozenSet, Mapping, NamedTuple, Optional, Tuple, Union
from urllib.parse import unquote, urlsplit, urlunsplit

from . import _checks, _native
from ._codes import HTTP_VERSIONS
from ._errors import from_call
from ._types import USE_CLIENT_DEFAULT, UseClientDefault, VerifyTypes

__all__ = ["USE_CLIENT_DEFAULT", "UseClientDefault", "VerifyTypes"]


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


class EngineOption(NamedTuple):
    """A keyword of Client and AsyncClient that configures the engine."""

    name: str
    default: Any
    # The engine keyword it goes to as `convert` makes it; None for the
    # options that engine_options combines (trust, proxy).
    native: Optional[str]
    convert: Callable[[Any], Any] = lambda value: value


# Client.__init__ states these keywords again, for type checkers; a test
# holds the two together.
ENGINE_OPTIONS: Tuple[EngineOption, ...] = (
    EngineOption("impersonate", None, "impersonate"),
    EngineOption("proxy", None, None),
    EngineOption("proxy_auth", None, None),
    EngineOption("verify", True, None),
    EngineOption("ca_file", None, None),
    EngineOption("ca_pem", None, None),
    EngineOption("user_agent", None, "user_agent"),
    EngineOption("accept_language", None, "accept_language"),
    EngineOption("http_version", None, "http_version"),
    # False or "no_store" turn the engine's cache off; any other value keeps
    # it on (the client's requests then use that mode, see _BaseClient).
    EngineOption("cache", True, "cache", lambda cache: _checks.cache(cache) != "no_store"),
    EngineOption("profile_namespace", None, "profile_namespace"),
)
ENGINE_OPTION_NAMES: FrozenSet[str] = frozenset(o.name for o in ENGINE_OPTIONS)


def _read_ca(path: Union[str, "os.PathLike[str]"]) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _trust(verify: VerifyTypes, ca_file: Optional[Union[str, "os.PathLike[str]"]],
           ca_pem: Optional[Union[bytes, str]]) -> Tuple[bool, Optional[bytes]]:
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
    if ca_pem is not None:
        _checks.pem_bundle(ca_pem, "the CA bundle")
    return bool(verify), ca_pem


def check_engine_options(given: Mapping[str, Any]) -> None:
    """Every engine keyword checked, the first wrong one raised."""
    for name in ("impersonate", "user_agent", "accept_language"):
        _checks.text(given[name], name)
    _checks.profile_namespace(given["profile_namespace"])
    _checks.proxy(given["proxy"])
    _checks.proxy_auth(given["proxy_auth"])
    _checks.verify(given["verify"])
    _checks.path(given["ca_file"], "ca_file")
    _checks.ca_pem(given["ca_pem"])
    _checks.http_version(given["http_version"])
    _checks.http3_without_proxy(given["http_version"], given["proxy"])
    _checks.cache(given["cache"])


def engine_options(given: Mapping[str, Any]) -> Dict[str, Any]:
    """The engine's keywords for the Client keywords `given` (every one of
    ENGINE_OPTIONS), checked."""
    check_engine_options(given)
    options = {o.native: o.convert(given[o.name]) for o in ENGINE_OPTIONS if o.native}
    options["verify"], options["ca_pem"] = _trust(given["verify"], given["ca_file"],
                                                  given["ca_pem"])
    options["proxy"], options["proxy_username"], options["proxy_password"] = split_proxy(
        given["proxy"], given["proxy_auth"])
    return options


# Client keywords that a one-call function takes besides the engine's; `cache`
# stays with the request there, where it means the same as on a client.
CALL_CLIENT_OPTIONS = ("trust_env",)


def call_options(kwargs: Dict[str, Any]) -> Dict[str, Any]:
    """Takes the client keywords out of a one-call function's `kwargs`."""
    names = [o.name for o in ENGINE_OPTIONS if o.name != "cache"] + list(CALL_CLIENT_OPTIONS)
    return {name: kwargs.pop(name) for name in names if name in kwargs}


def make_engine(options: Dict[str, Any]) -> Any:
    try:
        return _native.PyEngine(**options)
    except RuntimeError as e:
        refused = _name_refused(options["http_version"], HTTP_VERSIONS)
        raise from_call(e, refused_argument=refused) from None


def _name_refused(name: Any, names: FrozenSet[str]) -> bool:
    return isinstance(name, str) and name not in names
