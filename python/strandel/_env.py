"""What a client takes from the environment when `trust_env` is true (the
default): proxies from HTTP_PROXY, HTTPS_PROXY, ALL_PROXY and NO_PROXY (the
lower-case names too, which win), the CA bundle from SSL_CERT_FILE or
SSL_CERT_DIR. Read once, when the client is made."""

from __future__ import annotations

import ipaddress
import os
import re
import threading
from pathlib import Path
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Tuple, Union
from urllib.parse import urlsplit

from ._config import make_engine, split_proxy
from ._errors import HTTPError


def _variable(environ: Mapping[str, str], name: str) -> Optional[str]:
    """The lower-case variable over the upper-case one; an empty one is unset."""
    found = _named(environ, name)
    return found[1] if found else None


def _named(environ: Mapping[str, str], name: str) -> Optional[Tuple[str, str]]:
    """(the variable's name as set, its value)."""
    for key in (name.lower(), name.upper()):
        value = environ.get(key)
        if value:
            return key, value.strip()
    return None


def _with_scheme(proxy: str) -> str:
    return proxy if "://" in proxy else f"http://{proxy}"


class _Exclusion(NamedTuple):
    host: str  # lower case; "" for a network
    subdomains: bool  # ".example.com" / "*.example.com": subdomains only
    network: Optional[Union[ipaddress.IPv4Network, ipaddress.IPv6Network]]


def _exclusion(entry: str) -> Optional[_Exclusion]:
    entry = entry.strip().lower()
    if "://" in entry:
        entry = urlsplit(entry).hostname or ""
    if entry.startswith("[") and "]" in entry:  # [::1]:port
        entry = entry[1:entry.index("]")]
    elif entry.count(":") == 1:  # host:port: any port is excluded
        entry = entry.partition(":")[0]
    if not entry:
        return None
    try:
        return _Exclusion("", False, ipaddress.ip_network(entry, strict=False))
    except ValueError:
        pass
    if entry.startswith("*."):
        return _Exclusion(entry[2:], True, None)
    if entry.startswith("."):
        return _Exclusion(entry[1:], True, None)
    return _Exclusion(entry.lstrip("*"), False, None)


class EnvProxies:
    """The proxies the environment names: `for_url` gives a URL's proxy, or
    None for a direct connection."""

    def __init__(self, environ: Mapping[str, str]) -> None:
        # A CGI script's HTTP_PROXY may come from a client's "Proxy:"
        # request header: not to be trusted (httpoxy).
        cgi = "REQUEST_METHOD" in environ
        http = environ.get("http_proxy") if cgi else _variable(environ, "http_proxy")
        self.by_scheme = {
            "http": _with_scheme(http) if http else None,
            "https": _opt(_variable(environ, "https_proxy")),
        }
        self.all = _opt(_variable(environ, "all_proxy"))
        # Which variable each proxy came from, for the errors that name it.
        self.sources: Dict[str, str] = {}
        for name in ("all_proxy", "https_proxy") + (() if cgi else ("http_proxy",)):
            found = _named(environ, name)
            if found:
                self.sources[_with_scheme(found[1])] = found[0]
        if cgi and http:
            self.sources[_with_scheme(http)] = "http_proxy"
        no_proxy = _variable(environ, "no_proxy") or ""
        self.bypass_all = any(e.strip() == "*" for e in no_proxy.split(","))
        self.exclusions: List[_Exclusion] = [x for x in map(_exclusion, no_proxy.split(","))
                                             if x is not None]

    def __bool__(self) -> bool:
        return any(self.by_scheme.values()) or self.all is not None

    def excluded(self, host: str) -> bool:
        if self.bypass_all:
            return True
        host = host.lower().strip("[]").rstrip(".")
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            address = None
        for exclusion in self.exclusions:
            if exclusion.network is not None:
                if address is not None and address in exclusion.network:
                    return True
            elif host == exclusion.host:
                if not exclusion.subdomains:
                    return True
            elif host.endswith("." + exclusion.host):
                return True
        return False

    def for_url(self, url: str) -> Optional[str]:
        parts = urlsplit(url)
        scheme = {"ws": "http", "wss": "https"}.get(parts.scheme, parts.scheme)
        proxy = self.by_scheme.get(scheme) or self.all
        if proxy is None or self.excluded(parts.hostname or ""):
            return None
        return proxy

    def routes(self) -> Tuple[Optional[str], ...]:
        """Every proxy a URL can be given (None: direct), the https one first."""
        found: List[Optional[str]] = []
        for proxy in (self.by_scheme["https"] or self.all, self.by_scheme["http"] or self.all,
                      None):
            if proxy not in found:
                found.append(proxy)
        return tuple(found)


class Routes:
    """A client's engines when the environment names proxies: one per
    proxy a URL is routed to (None: direct), each made when first needed
    from the client's engine options; `main` is the one https:// URLs take,
    made at once. `proxy_auth`, when given, holds for every proxy."""

    def __init__(self, options: Dict[str, Any], proxies: EnvProxies,
                 proxy_auth: Optional[Tuple[str, str]]) -> None:
        self._options = options
        self._proxies = proxies
        self._proxy_auth = proxy_auth
        self._engines: Dict[Optional[str], Any] = {}
        self._lock = threading.Lock()
        self.main = self._engine(proxies.routes()[0])

    def engines(self) -> List[Any]:
        return list(self._engines.values())

    def engine_for(self, url: str) -> Any:
        return self._engine(self._proxies.for_url(url))

    def _engine(self, proxy: Optional[str]) -> Any:
        engine = self._engines.get(proxy)
        if engine is not None:
            return engine
        with self._lock:
            engine = self._engines.get(proxy)
            if engine is None:
                engine = self._engines[proxy] = self._make(proxy)
        return engine

    def _make(self, proxy: Optional[str]) -> Any:
        options = dict(self._options)
        try:
            options["proxy"], options["proxy_username"], options["proxy_password"] = \
                split_proxy(proxy, self._proxy_auth if proxy else None)
            return make_engine(options)
        except (HTTPError, ValueError) as e:
            if proxy is None:
                raise
            shown = re.sub(r"//[^@/]*@", "//", proxy)  # never the credentials
            raise ValueError(f"the proxy {shown!r} of the environment variable "
                             f"{self._proxies.sources.get(proxy, 'ALL_PROXY')} was refused "
                             f"({e}); fix it, or pass trust_env=False") from None


def _opt(proxy: Optional[str]) -> Optional[str]:
    return _with_scheme(proxy) if proxy else None


def env_proxies(environ: Optional[Mapping[str, str]] = None) -> Optional[EnvProxies]:
    """The environment's proxies, None when it names none."""
    proxies = EnvProxies(os.environ if environ is None else environ)
    return proxies if proxies else None


def env_ca_pem(environ: Optional[Mapping[str, str]] = None) -> Optional[bytes]:
    """The CA bundle SSL_CERT_FILE names, else the certificates of the
    folder SSL_CERT_DIR names (every PEM file in it, as OpenSSL's hashed
    folders hold them); None when neither is set. A file named that cannot
    be read is an error: a user who names a bundle means it."""
    environ = os.environ if environ is None else environ
    cert_file = environ.get("SSL_CERT_FILE")
    if cert_file:
        with open(cert_file, "rb") as f:
            return f.read()
    cert_dir = environ.get("SSL_CERT_DIR")
    if not cert_dir:
        return None
    pems: List[bytes] = []
    # A hashed folder links each certificate under several names.
    seen = set()
    for folder in cert_dir.split(os.pathsep):
        if not folder:
            continue
        for path in sorted(Path(folder).iterdir()):
            real = path.resolve()
            if real.is_file() and real not in seen:
                seen.add(real)
                data = real.read_bytes()
                if b"-----BEGIN CERTIFICATE-----" in data:
                    pems.append(data if data.endswith(b"\n") else data + b"\n")
    return b"".join(pems) if pems else None


__all__ = ["EnvProxies", "Routes", "env_ca_pem", "env_proxies"]
