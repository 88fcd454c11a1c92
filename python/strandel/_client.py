"""Client (blocking) and AsyncClient (asyncio): one native engine each, with
its cookies, connections and cache."""

from __future__ import annotations

import contextlib
import functools
from typing import (TYPE_CHECKING, Any, AsyncIterator, Callable, Dict, Iterator, List, Mapping,
                    Optional, Sequence, Tuple, Union)

from . import _checks, _native
from ._auth import Auth, as_auth
from ._config import ENGINE_OPTION_NAMES, engine_options, make_engine
from ._content import Encoded, QueryParamTypes, RequestContent, RequestData, RequestFiles, \
    encode_body, join_url, merge_params
from ._cookies import ClientCookies, as_cookies, cookie_header
from ._env import Routes, env_ca_pem, env_proxies
from ._errors import from_native
from ._exchange import AsyncExchange, SyncExchange, redirect_mode
from ._flow import Flow
from ._headers import Headers, HeaderTypes
from ._hooks import EventHook, EventHooks, as_event_hooks
from ._models import Request, Response
from ._retry import check_retries
from ._timeout import DEFAULT_TIMEOUT, Timeout, TimeoutTypes, to_timeout
from ._types import (USE_CLIENT_DEFAULT, AuthTypes, CacheTypes, CookieTypes, EventHookTypes,
                     FollowTypes, HttpVersionTypes, PathTypes, PriorityTypes,
                     RequestTimeoutTypes, RetriesTypes, UseClientDefault, VerifyTypes)
from ._wait import ChannelPool, Dispatcher, running_dispatcher
from ._websocket import AsyncWebSocket, WebSocket

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from ._types import RequestBodyOptions, RequestOptions

_NO_BODY = Encoded()
# A request line this long or shorter, without headers, is within the head's
# bound whatever its characters take in UTF-8.
_SHORT_HEAD = _checks.MAX_REQUEST_HEAD // 4 - 12
# Whether the Core bounds connecting by itself.
_CONNECT_TIMEOUT = _native.has_extension("connect_timeout")


class _Prepared:
    """A request checked and ready for the Core, with the options it runs by."""

    __slots__ = ("request", "encoded", "timeout", "follow", "cache", "priority")

    def __init__(self, request: Request, encoded: Encoded, timeout: Timeout, follow: bool,
                 cache: Optional[str], priority: Optional[str]) -> None:
        self.request = request
        self.encoded = encoded
        self.timeout = timeout
        self.follow = follow
        self.cache = cache
        self.priority = priority


def _content_length(headers: Headers, encoded: Encoded) -> None:
    """Holds a caller's Content-Length to the body, and states the length of
    a streamed body whose size is known, so that it goes out sized (only a
    body of unknown length goes out chunked)."""
    given = headers.get_list("content-length")
    if not given:
        if encoded.stream is not None and encoded.size is not None:
            headers["Content-Length"] = str(encoded.size)
        return
    if len(given) > 1 or not given[0].strip().isdigit() or not given[0].strip().isascii():
        raise ValueError(f"the Content-Length header must be one whole number of bytes, "
                         f"not {', '.join(given)!r}")
    stated = int(given[0])
    size = 0 if encoded.whole is None and encoded.stream is None else encoded.size
    if size is not None and stated != size:
        raise ValueError(f"the Content-Length header says {stated} bytes but the body has "
                         f"{size}")


class _BaseClient:
    def __init__(self, *, impersonate: Optional[str] = None, proxy: Optional[str] = None,
                 proxy_auth: Optional[Tuple[str, str]] = None, verify: VerifyTypes = True,
                 ca_file: Optional[PathTypes] = None, ca_pem: Optional[Union[bytes, str]] = None,
                 user_agent: Optional[str] = None, accept_language: Optional[str] = None,
                 http_version: Optional[HttpVersionTypes] = None, cache: CacheTypes = True,
                 profile_namespace: Optional[str] = None, headers: HeaderTypes = None,
                 params: QueryParamTypes = None, timeout: TimeoutTypes = DEFAULT_TIMEOUT,
                 follow_redirects: bool = True, max_redirects: int = 20, base_url: str = "",
                 auth: Optional[AuthTypes] = None, cookies: CookieTypes = None,
                 retries: RetriesTypes = 0,
                 trust_env: bool = True, event_hooks: EventHookTypes = None) -> None:
        # The engine keywords are those of ENGINE_OPTIONS, taken by name.
        given = locals()
        # Everything is checked before the engine exists.
        self.headers = Headers(headers)
        _checks.fields(params, "params")
        self.params = params
        self.timeout = to_timeout(timeout)
        self.follow_redirects = _checks.flag(follow_redirects, "follow_redirects")
        self.max_redirects = _checks.count(max_redirects, "max_redirects")
        if not isinstance(base_url, str):
            raise TypeError(f"base_url must be str, not {_checks.type_name(base_url)}")
        if base_url:
            _checks.url(base_url, "base_url", _checks.HTTP_SCHEMES + _checks.WEBSOCKET_SCHEMES)
        self.base_url = base_url
        # The mode of every request that does not give its own.
        self.cache = _checks.cache(cache)
        self._auth: Optional[Auth] = as_auth(auth)
        self.retries = check_retries(retries)
        self._event_hooks: EventHooks = as_event_hooks(event_hooks)
        options = engine_options({name: given[name] for name in ENGINE_OPTION_NAMES})
        # Environment: proxies (unless one is given) and the CA bundle
        # (unless verification is off or a bundle is given).
        self.trust_env = _checks.flag(trust_env, "trust_env")
        env = None
        if self.trust_env:
            env = env_proxies() if proxy is None else None
            if verify is True and ca_file is None and ca_pem is None:
                options["ca_pem"] = env_ca_pem()
        # With proxies from the environment, an engine for each route.
        self._routes = Routes(options, env, proxy_auth) if env is not None else None
        self._engine = make_engine(options) if self._routes is None else self._routes.main
        self._cookies = ClientCookies(self._all_engines, cookies)
        self.is_closed = False
        # Wakers of finished blocking requests, kept for the next ones.
        self._pool = ChannelPool()
        # An asyncio client's dispatcher of each event loop, by id(loop).
        self._dispatchers: Dict[int, Dispatcher] = {}

    # ---- auth, cookies, hooks, environment ----------------------------------------------

    @property
    def auth(self) -> Optional[Auth]:
        return self._auth

    @auth.setter
    def auth(self, auth: Optional[AuthTypes]) -> None:
        self._auth = as_auth(auth)

    @property
    def cookies(self) -> ClientCookies:
        """The client's cookies, live: the Core's jar and those without a
        domain (sent to every host)."""
        return self._cookies

    @cookies.setter
    def cookies(self, cookies: CookieTypes) -> None:
        self._cookies.everywhere().clear()
        self._cookies.update(cookies)

    @property
    def event_hooks(self) -> EventHooks:
        return self._event_hooks

    @event_hooks.setter
    def event_hooks(self, event_hooks: Mapping[str, Sequence[EventHook]]) -> None:
        self._event_hooks = as_event_hooks(event_hooks)

    def _all_engines(self) -> List[Any]:
        return [self._engine] if self._routes is None else self._routes.engines()

    def _engine_for(self, url: str) -> Any:
        routes = self._routes
        return self._engine if routes is None else routes.engine_for(url)

    def _plain(self, chosen: Optional[Auth]) -> bool:
        """Whether nothing goes around the exchange (no auth, no hooks, no
        retries): the request is then sent as it is, without a Flow."""
        hooks = self._event_hooks
        return chosen is None and not self.retries and not hooks["request"] \
            and not hooks["response"]

    def _flow(self, chosen: Optional[Auth], start: Callable[[Request, Encoded], Any]) -> Flow:
        return Flow(start, auth=chosen, hooks=self._event_hooks, retries=self.retries)

    def _merge_headers(self, headers: HeaderTypes) -> Headers:
        """The client's headers, each name given here replacing all of its
        values there; repeated names given here are all kept."""
        merged = self.headers.copy()
        if headers is None:
            return merged
        given = Headers(headers)
        for name in given.keys():
            if name in merged:
                del merged[name]
        merged._items.extend(given._items)
        return merged

    def _url(self, url: str, params: QueryParamTypes,
             schemes: Tuple[str, ...] = _checks.HTTP_SCHEMES) -> str:
        if not isinstance(url, str):
            raise TypeError(f"url must be str, not {_checks.type_name(url)}")
        if self.base_url:
            url = join_url(self.base_url, url)
        if self.params or params:
            _checks.fields(params, "params")
            url = merge_params(merge_params(url, self.params), params)
        _checks.str_url(url, "url", schemes)
        return url

    def build_request(self, method: str, url: str, *, content: Optional[RequestContent] = None,
                      data: Optional[RequestData] = None, files: Optional[RequestFiles] = None,
                      json: Any = None, params: QueryParamTypes = None,
                      headers: HeaderTypes = None,
                      cookies: CookieTypes = None) -> Tuple[Request, Encoded]:
        return self._build(method, url, content, data, files, json, params, headers, cookies)

    def _build(self, method: str, url: str, content: Optional[RequestContent],
               data: Optional[RequestData], files: Optional[RequestFiles], json: Any,
               params: QueryParamTypes, headers: HeaderTypes,
               cookies: CookieTypes) -> Tuple[Request, Encoded]:
        method = _checks.method(method)
        if type(url) is str and params is None and not self.params and not self.base_url:
            _checks.str_url(url, "url", _checks.HTTP_SCHEMES)  # as _url, for a URL as it is
        else:
            url = self._url(url, params)
        merged = self.headers.copy() if headers is None else self._merge_headers(headers)
        if content is None and data is None and files is None and json is None:
            encoded = _NO_BODY
        else:
            _checks.body_arguments(content, data, files, json)
            encoded = encode_body(content=content, data=data, files=files, json=json)
            if encoded.content_type and "content-type" not in merged:
                merged["Content-Type"] = encoded.content_type
        everywhere = self._cookies.everywhere()
        if cookies is not None or everywhere._jar:  # as bool(everywhere), without the call
            cookie = cookie_header(merged.get("cookie"), everywhere, as_cookies(cookies))
            if cookie is not None:
                merged["Cookie"] = cookie
        items = merged._items
        # Without a body and without headers there is no length to hold
        # and the head is short: the common GET skips both walks.
        if items or encoded is not _NO_BODY:
            _content_length(merged, encoded)
        if items or len(method) + len(url) > _SHORT_HEAD:
            _checks.head_size(method, url, items)
        return Request(method, url, merged, encoded.whole), encoded

    def _prepare(self, method: str, url: str, content: Optional[RequestContent],
                 data: Optional[RequestData],
                 files: Optional[RequestFiles], json: Any, params: QueryParamTypes,
                 headers: HeaderTypes, cookies: CookieTypes, timeout: RequestTimeoutTypes,
                 follow_redirects: FollowTypes, cache: Union[CacheTypes, UseClientDefault],
                 priority: Optional[PriorityTypes]) -> _Prepared:
        if self.is_closed:
            raise RuntimeError("the client is closed")
        follow = self.follow_redirects if follow_redirects is USE_CLIENT_DEFAULT \
            else _checks.flag(follow_redirects, "follow_redirects")
        bounds = self.timeout if timeout is USE_CLIENT_DEFAULT else to_timeout(timeout)
        mode = self.cache if cache is USE_CLIENT_DEFAULT else _checks.cache(cache)
        chosen_priority = None if priority is None else _checks.priority(priority)
        request, encoded = self._build(method, url, content, data, files, json, params,
                                       headers, cookies)
        return _Prepared(request, encoded, bounds, follow, mode, chosen_priority)

    def _native_request(self, prepared: _Prepared, request: Request, encoded: Encoded) -> Any:
        """The native request for `request` (the prepared one, or the same
        again as authentication or a retry sends it), by `prepared`'s
        options."""
        routes = self._routes
        engine = self._engine if routes is None else routes.engine_for(request.url)
        try:
            # Positional: method, url, headers, body, timeout, allow_redirects,
            # redirect, cache, priority, chunked. The exchange bounds each
            # read and write itself: a whole-exchange deadline in the Core
            # would end a download that keeps arriving.
            follow = redirect_mode(prepared.follow, self.max_redirects)
            if _CONNECT_TIMEOUT:
                return engine.request(request.method, request.url, request.headers._items,
                                      encoded.whole, None, True, follow, prepared.cache,
                                      prepared.priority, encoded.stream is not None,
                                      connect_timeout=prepared.timeout.connect)
            return engine.request(request.method, request.url, request.headers._items,
                                  encoded.whole, None, True, follow, prepared.cache,
                                  prepared.priority, encoded.stream is not None)
        except RuntimeError as e:
            raise from_native(e, request=request) from None

    def _websocket(self, url: str, headers: HeaderTypes, subprotocols: Optional[Sequence[str]],
                   origin: Optional[str], timeout: RequestTimeoutTypes,
                   max_message_size: Optional[int]) -> Tuple[Any, str]:
        """The native WebSocket, and its URL."""
        if self.is_closed:
            raise RuntimeError("the client is closed")
        url = self._url(url, None, _checks.WEBSOCKET_SCHEMES)
        merged = self._merge_headers(headers)
        _checks.subprotocols(subprotocols)
        _checks.text(origin, "origin")
        if self._cookies.everywhere():  # a handshake is a request like any other
            cookie = cookie_header(merged.get("cookie"), self._cookies.everywhere())
            if cookie is not None:
                merged["Cookie"] = cookie
        _checks.head_size("GET", url + (origin or ""), merged._items)
        bounds = self.timeout if timeout is USE_CLIENT_DEFAULT else to_timeout(timeout)
        extra: Dict[str, Any] = {}
        if _checks.size_limit(max_message_size, "max_message_size") is not None:
            if not _native.has_extension("max_message_size"):
                raise NotImplementedError("this Core does not support max_message_size")
            extra["max_message_size"] = max_message_size
        try:
            # The opening handshake is the connection's set-up: `connect`
            # bounds it.
            native = self._engine_for(url).websocket(
                url, origin or "", merged.multi_items(), bounds.connect,
                list(subprotocols) if subprotocols else None, **extra)
        except RuntimeError as e:
            raise from_native(e, websocket=True) from None
        return native, url


class Client(_BaseClient):
    """A blocking HTTP and WebSocket client. Safe to share between threads.

    Engine keywords: `impersonate` (browser profile such as "chrome_152"),
    `proxy` (URL, credentials in it or as `proxy_auth`), `verify` (False, or
    a CA bundle path), `ca_file` / `ca_pem` (CA bundle), `user_agent`,
    `accept_language`, `http_version` ("h1", "h2", "h3" or None for auto),
    `cache` (True, False or a cache mode: see ``request``),
    `profile_namespace` (where the Core keeps persistent state). Request
    defaults: `headers`, `params`, `timeout` (a Timeout or seconds; 5 s by
    default, None for none), `follow_redirects` (default True),
    `max_redirects`, `base_url`, `auth`, `cookies`. `retries`: how many
    times a request that could not reach the server is sent again;
    `trust_env`: take proxies and the CA bundle from the environment;
    `event_hooks`: callables run with each request and response."""

    def request(self, method: str, url: str, *, content: Optional[RequestContent] = None,
                data: Optional[RequestData] = None, files: Optional[RequestFiles] = None,
                json: Any = None, params: QueryParamTypes = None, headers: HeaderTypes = None,
                cookies: CookieTypes = None,
                auth: Union[AuthTypes, None, UseClientDefault] = USE_CLIENT_DEFAULT,
                timeout: RequestTimeoutTypes = USE_CLIENT_DEFAULT,
                follow_redirects: FollowTypes = USE_CLIENT_DEFAULT,
                cache: Union[CacheTypes, UseClientDefault] = USE_CLIENT_DEFAULT,
                priority: Optional[PriorityTypes] = None) -> Response:
        """`cache`: True (the default mode), False (the cache is neither read
        nor written, as "no_store"), or a mode: "default", "validate",
        "bypass", "no_store", "force", "only_if_cached"."""
        prepared = self._prepare(method, url, content, data, files, json, params, headers,
                                 cookies, timeout, follow_redirects, cache, priority)
        return self._send(prepared, auth, stream=False)

    def _send(self, prepared: _Prepared, auth: Union[AuthTypes, None, UseClientDefault], *,
              stream: bool) -> Response:
        chosen = self._auth if auth is USE_CLIENT_DEFAULT else as_auth(auth)
        if self._plain(chosen):
            return self._start(prepared, prepared.request, prepared.encoded).send(stream)
        flow = self._flow(chosen, functools.partial(self._start, prepared))
        return flow.send_sync(prepared.request, prepared.encoded, stream)

    def _start(self, prepared: _Prepared, request: Request, encoded: Encoded) -> SyncExchange:
        native = self._native_request(prepared, request, encoded)
        return SyncExchange(native, request, follow=prepared.follow,
                            max_redirects=self.max_redirects, timeout=prepared.timeout,
                            upload=encoded.stream, pool=self._pool)

    @contextlib.contextmanager
    def stream(self, method: str, url: str, *, content: Optional[RequestContent] = None,
               data: Optional[RequestData] = None, files: Optional[RequestFiles] = None,
               json: Any = None, params: QueryParamTypes = None, headers: HeaderTypes = None,
               cookies: CookieTypes = None,
               auth: Union[AuthTypes, None, UseClientDefault] = USE_CLIENT_DEFAULT,
               timeout: RequestTimeoutTypes = USE_CLIENT_DEFAULT,
               follow_redirects: FollowTypes = USE_CLIENT_DEFAULT,
               cache: Union[CacheTypes, UseClientDefault] = USE_CLIENT_DEFAULT,
               priority: Optional[PriorityTypes] = None) -> Iterator[Response]:
        """The response with its body unread: iterate ``iter_bytes()``,
        ``iter_text()`` or ``iter_lines()``; leaving the block ends the
        request. Takes the keywords of ``request``."""
        prepared = self._prepare(method, url, content, data, files, json, params, headers,
                                 cookies, timeout, follow_redirects, cache, priority)
        response = self._send(prepared, auth, stream=True)
        try:
            yield response
        finally:
            response.close()

    def get(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("GET", url, **kwargs)

    def options(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("OPTIONS", url, **kwargs)

    def head(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("HEAD", url, **kwargs)

    def post(self, url: str, **kwargs: Unpack[RequestBodyOptions]) -> Response:
        return self.request("POST", url, **kwargs)

    def put(self, url: str, **kwargs: Unpack[RequestBodyOptions]) -> Response:
        return self.request("PUT", url, **kwargs)

    def patch(self, url: str, **kwargs: Unpack[RequestBodyOptions]) -> Response:
        return self.request("PATCH", url, **kwargs)

    def delete(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("DELETE", url, **kwargs)

    def websocket(self, url: str, *, headers: HeaderTypes = None,
                  subprotocols: Optional[Sequence[str]] = None, origin: Optional[str] = None,
                  timeout: RequestTimeoutTypes = USE_CLIENT_DEFAULT,
                  max_message_size: Optional[int] = None) -> WebSocket:
        """A WebSocket, connected on entering its ``with`` block (or by
        ``connect()``); the timeout's `connect` bounds the opening handshake;
        `max_message_size` (bytes) the largest message taken, when the Core
        supports it."""
        return WebSocket(*self._websocket(url, headers, subprotocols, origin, timeout,
                                          max_message_size))

    def close(self) -> None:
        """The engine goes once the last request and WebSocket made on it end."""
        self.is_closed = True
        self._pool.close()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class AsyncClient(_BaseClient):
    """The asyncio twin of Client (same keywords). Works on any loop that
    has ``add_reader`` (the default loop, uvloop)."""

    async def request(self, method: str, url: str, *, content: Optional[RequestContent] = None,
                      data: Optional[RequestData] = None, files: Optional[RequestFiles] = None,
                      json: Any = None, params: QueryParamTypes = None,
                      headers: HeaderTypes = None, cookies: CookieTypes = None,
                      auth: Union[AuthTypes, None, UseClientDefault] = USE_CLIENT_DEFAULT,
                      timeout: RequestTimeoutTypes = USE_CLIENT_DEFAULT,
                      follow_redirects: FollowTypes = USE_CLIENT_DEFAULT,
                      cache: Union[CacheTypes, UseClientDefault] = USE_CLIENT_DEFAULT,
                      priority: Optional[PriorityTypes] = None) -> Response:
        prepared = self._prepare(method, url, content, data, files, json, params, headers,
                                 cookies, timeout, follow_redirects, cache, priority)
        return await self._send(prepared, auth, stream=False)

    async def _send(self, prepared: _Prepared, auth: Union[AuthTypes, None, UseClientDefault], *,
                    stream: bool) -> Response:
        chosen = self._auth if auth is USE_CLIENT_DEFAULT else as_auth(auth)
        if self._plain(chosen):
            return await self._start(prepared, prepared.request, prepared.encoded).send(stream)
        flow = self._flow(chosen, functools.partial(self._start, prepared))
        return await flow.send_async(prepared.request, prepared.encoded, stream)

    def _start(self, prepared: _Prepared, request: Request, encoded: Encoded) -> AsyncExchange:
        native = self._native_request(prepared, request, encoded)
        channel = running_dispatcher(self._dispatchers).channel()
        return AsyncExchange(native, request, channel, follow=prepared.follow,
                             max_redirects=self.max_redirects, timeout=prepared.timeout,
                             upload=encoded.stream)

    @contextlib.asynccontextmanager
    async def stream(self, method: str, url: str, *, content: Optional[RequestContent] = None,
                     data: Optional[RequestData] = None, files: Optional[RequestFiles] = None,
                     json: Any = None, params: QueryParamTypes = None,
                     headers: HeaderTypes = None, cookies: CookieTypes = None,
                     auth: Union[AuthTypes, None, UseClientDefault] = USE_CLIENT_DEFAULT,
                     timeout: RequestTimeoutTypes = USE_CLIENT_DEFAULT,
                     follow_redirects: FollowTypes = USE_CLIENT_DEFAULT,
                     cache: Union[CacheTypes, UseClientDefault] = USE_CLIENT_DEFAULT,
                     priority: Optional[PriorityTypes] = None) -> AsyncIterator[Response]:
        """``async with client.stream(...) as r: async for chunk in r.aiter_bytes()``."""
        prepared = self._prepare(method, url, content, data, files, json, params, headers,
                                 cookies, timeout, follow_redirects, cache, priority)
        response = await self._send(prepared, auth, stream=True)
        try:
            yield response
        finally:
            await response.aclose()

    async def get(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("GET", url, **kwargs)

    async def options(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("OPTIONS", url, **kwargs)

    async def head(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("HEAD", url, **kwargs)

    async def post(self, url: str, **kwargs: Unpack[RequestBodyOptions]) -> Response:
        return await self.request("POST", url, **kwargs)

    async def put(self, url: str, **kwargs: Unpack[RequestBodyOptions]) -> Response:
        return await self.request("PUT", url, **kwargs)

    async def patch(self, url: str, **kwargs: Unpack[RequestBodyOptions]) -> Response:
        return await self.request("PATCH", url, **kwargs)

    async def delete(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("DELETE", url, **kwargs)

    def websocket(self, url: str, *, headers: HeaderTypes = None,
                  subprotocols: Optional[Sequence[str]] = None, origin: Optional[str] = None,
                  timeout: RequestTimeoutTypes = USE_CLIENT_DEFAULT,
                  max_message_size: Optional[int] = None) -> AsyncWebSocket:
        """Use as ``async with client.websocket(url) as ws``."""
        native, url = self._websocket(url, headers, subprotocols, origin, timeout,
                                      max_message_size)
        return AsyncWebSocket(native, lambda: running_dispatcher(self._dispatchers).channel(),
                              url)

    async def aclose(self) -> None:
        """Stops watching the loops; requests still running are cancelled."""
        self.is_closed = True
        for dispatcher in self._dispatchers.values():
            dispatcher.close()
        self._dispatchers.clear()

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

