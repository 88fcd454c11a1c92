"""Client (blocking) and AsyncClient (asyncio): one native engine each, with
its cookies, connections and cache."""

from __future__ import annotations

import contextlib
import os
from typing import (Any, AsyncIterator, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple,
                    Union)

from ._config import (ENGINE_OPTION_NAMES, USE_CLIENT_DEFAULT, VerifyTypes, engine_options,
                      make_engine, request_options_refused, timeout_refused)
from ._auth import Auth, AuthTypes, as_auth
from ._content import (Encoded, QueryParamTypes, RequestContent, RequestFiles, encode_body,
                       join_url, merge_params)
from ._cookies import ClientCookies, CookieTypes, as_cookies, cookie_header
from ._env import Routes, env_ca_pem, env_proxies
from ._errors import from_call
from ._exchange import AsyncExchange, SyncExchange, redirect_mode
from ._flow import Flow
from ._hooks import EventHook, EventHooks, as_event_hooks
from ._headers import Headers, HeaderTypes
from ._models import Request, Response
from ._retry import check_retries
from ._wait import ChannelPool, Dispatcher, running_dispatcher
from ._websocket import AsyncWebSocket, WebSocket

TimeoutTypes = Optional[float]

_NO_BODY = Encoded()


class _BaseClient:
    def __init__(self, *, impersonate: Optional[str] = None, proxy: Optional[str] = None,
                 proxy_auth: Optional[Tuple[str, str]] = None, verify: VerifyTypes = True,
                 ca_file: Optional[Union[str, "os.PathLike[str]"]] = None,
                 ca_pem: Optional[Union[bytes, str]] = None,
                 user_agent: Optional[str] = None, accept_language: Optional[str] = None,
                 http_version: Optional[str] = None, cache: bool = True,
                 profile_namespace: Optional[str] = None, headers: HeaderTypes = None,
                 params: QueryParamTypes = None, timeout: TimeoutTypes = None,
                 follow_redirects: bool = True, max_redirects: int = 20,
                 base_url: str = "", auth: Optional[AuthTypes] = None,
                 cookies: CookieTypes = None, retries: int = 0, trust_env: bool = True,
                 event_hooks: Optional[Mapping[str, Sequence[EventHook]]] = None) -> None:
        # The engine keywords are those of ENGINE_OPTIONS, taken by name.
        given = locals()
        options = engine_options({name: given[name] for name in ENGINE_OPTION_NAMES})
        # Environment: proxies (unless one is given) and the CA bundle
        # (unless verification is off or a bundle is given).
        self.trust_env = bool(trust_env)
        env = None
        if self.trust_env:
            env = env_proxies() if proxy is None else None
            if verify is True and ca_file is None and ca_pem is None:
                options["ca_pem"] = env_ca_pem()
        # With proxies from the environment, an engine for each route.
        self._routes = Routes(options, env, proxy_auth) if env is not None else None
        self._engine = make_engine(options) if self._routes is None else self._routes.main
        self._auth: Optional[Auth] = as_auth(auth)
        self._cookies = ClientCookies(self._all_engines, cookies)
        self.retries = check_retries(retries)
        self._event_hooks: EventHooks = as_event_hooks(event_hooks)
        self.headers = Headers(headers)
        self.params = params
        self.timeout = timeout
        self.follow_redirects = follow_redirects
        self.max_redirects = max_redirects
        self.base_url = base_url
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

    def _flow(self, auth: Any, start: Any) -> Optional[Flow]:
        """What to do around the exchange; None for nothing (no auth, no
        hooks, no retries): the request is then sent as it is."""
        chosen = self._auth if auth is USE_CLIENT_DEFAULT else as_auth(auth)
        hooks = self._event_hooks
        if chosen is None and not self.retries and not hooks["request"] \
                and not hooks["response"]:
            return None
        return Flow(start, auth=chosen, hooks=hooks, retries=self.retries)

    def _merge_headers(self, headers: HeaderTypes) -> Headers:
        """The client's headers, each name given here replacing all of its
        values there; repeated names given here are all kept."""
        merged = self.headers.copy()
        given = Headers(headers)
        for name in given.keys():
            if name in merged:
                del merged[name]
        for name, value in given.multi_items():
            merged.add(name, value)
        return merged

    def build_request(self, method: str, url: str, *, params: QueryParamTypes = None,
                      headers: HeaderTypes = None, content: Optional[RequestContent] = None,
                      data: Optional[Mapping[str, Any]] = None,
                      files: Optional[RequestFiles] = None, json: Any = None,
                      cookies: CookieTypes = None) -> Tuple[Request, Encoded]:
        if self.base_url:
            url = join_url(self.base_url, url)
        if self.params or params:
            url = merge_params(merge_params(url, self.params), params)
        merged = self._merge_headers(headers) if headers is not None else self.headers.copy()
        if content is None and data is None and files is None and json is None:
            encoded = _NO_BODY
        else:
            encoded = encode_body(content=content, data=data, files=files, json=json)
        if encoded.content_type and "content-type" not in merged:
            merged["Content-Type"] = encoded.content_type
        everywhere = self._cookies.everywhere()
        if cookies is not None or everywhere:
            cookie = cookie_header(merged.get("cookie"), everywhere, as_cookies(cookies))
            if cookie is not None:
                merged["Cookie"] = cookie
        return Request(method.upper(), url, merged, encoded.whole), encoded

    def _native_request(self, request: Request, encoded: Encoded, *, timeout: Any,
                        follow_redirects: Any, cache: Optional[str],
                        priority: Optional[str]) -> Tuple[Any, bool, int]:
        if self.is_closed:
            raise RuntimeError("the client is closed")
        follow = self.follow_redirects if follow_redirects is USE_CLIENT_DEFAULT \
            else follow_redirects
        timeout = self.timeout if timeout is USE_CLIENT_DEFAULT else timeout
        try:
            # Positional: method, url, headers, body, timeout, allow_redirects,
            # redirect, cache, priority, chunked.
            native = self._engine_for(request.url).request(
                request.method, request.url, request.headers._items, encoded.whole, timeout,
                True, redirect_mode(follow, self.max_redirects), cache, priority,
                encoded.stream is not None)
        except RuntimeError as e:
            refused = request_options_refused(timeout, cache, priority)
            raise from_call(e, refused_argument=refused, request=request) from None
        return native, follow, self.max_redirects

    def _websocket(self, url: str, headers: HeaderTypes, subprotocols: Optional[Sequence[str]],
                   origin: Optional[str], timeout: Any) -> Tuple[Any, str]:
        """The native WebSocket, and its URL."""
        url = join_url(self.base_url, url)
        merged = self._merge_headers(headers)
        if self._cookies.everywhere():  # a handshake is a request like any other
            merged["Cookie"] = cookie_header(merged.get("cookie"), self._cookies.everywhere())
        timeout = self.timeout if timeout is USE_CLIENT_DEFAULT else timeout
        try:
            native = self._engine_for(url).websocket(
                url, origin or "", merged.multi_items(), timeout,
                list(subprotocols) if subprotocols else None)
        except RuntimeError as e:
            raise from_call(e, refused_argument=timeout_refused(timeout), websocket=True) \
                from None
        return native, url


class Client(_BaseClient):
    """A blocking HTTP and WebSocket client. Safe to share between threads.

    Engine keywords: `impersonate` (browser profile such as "chrome_131"),
    `proxy` (URL, credentials in it or as `proxy_auth`), `verify` (False, or
    a CA bundle path), `ca_file` / `ca_pem` (CA bundle), `user_agent`,
    `accept_language`, `http_version` ("h1", "h2", "h3" or None for auto),
    `cache` (the Core's HTTP cache), `profile_namespace` (where the Core keeps
    persistent state). Request defaults: `headers`, `params`, `timeout`
    (seconds for the whole exchange, None for none), `follow_redirects`
    (default True), `max_redirects`, `base_url`, `auth`, `cookies`.
    `retries`: how many times a request that could not reach the server
    is sent again; `trust_env`: take proxies and the CA bundle from the
    environment; `event_hooks`: callables run with each request and
    response."""

    def request(self, method: str, url: str, *, params: QueryParamTypes = None,
                headers: HeaderTypes = None, content: Optional[RequestContent] = None,
                data: Optional[Mapping[str, Any]] = None, files: Optional[RequestFiles] = None,
                json: Any = None, timeout: Any = USE_CLIENT_DEFAULT,
                follow_redirects: Any = USE_CLIENT_DEFAULT, cache: Optional[str] = None,
                priority: Optional[str] = None, auth: Any = USE_CLIENT_DEFAULT,
                cookies: CookieTypes = None) -> Response:
        return self._send(method, url, False, params, headers, content, data, files, json,
                          timeout, follow_redirects, cache, priority, auth, cookies)

    def _send(self, method: str, url: str, stream: bool, params: QueryParamTypes = None,
              headers: HeaderTypes = None, content: Optional[RequestContent] = None,
              data: Optional[Mapping[str, Any]] = None, files: Optional[RequestFiles] = None,
              json: Any = None, timeout: Any = USE_CLIENT_DEFAULT,
              follow_redirects: Any = USE_CLIENT_DEFAULT, cache: Optional[str] = None,
              priority: Optional[str] = None, auth: Any = USE_CLIENT_DEFAULT,
              cookies: CookieTypes = None) -> Response:
        request, encoded = self.build_request(method, url, params=params, headers=headers,
                                              content=content, data=data, files=files, json=json,
                                              cookies=cookies)

        def start(request: Request, encoded: Encoded) -> SyncExchange:
            native, follow, max_redirects = self._native_request(
                request, encoded, timeout=timeout, follow_redirects=follow_redirects,
                cache=cache, priority=priority)
            return SyncExchange(native, request, follow=follow, max_redirects=max_redirects,
                                upload=encoded.stream, pool=self._pool)

        flow = self._flow(auth, start)
        if flow is None:
            return start(request, encoded).send(stream)
        return flow.send_sync(request, encoded, stream)

    @contextlib.contextmanager
    def stream(self, method: str, url: str, **kwargs: Any) -> Iterator[Response]:
        """The response with its body unread: iterate ``iter_bytes()``,
        ``iter_text()`` or ``iter_lines()``; leaving the block ends the
        request. Takes the keywords of ``request``."""
        response = self._send(method, url, True, **kwargs)
        try:
            yield response
        finally:
            response.close()

    def get(self, url: str, **kwargs: Any) -> Response:
        return self.request("GET", url, **kwargs)

    def options(self, url: str, **kwargs: Any) -> Response:
        return self.request("OPTIONS", url, **kwargs)

    def head(self, url: str, **kwargs: Any) -> Response:
        return self.request("HEAD", url, **kwargs)

    def post(self, url: str, **kwargs: Any) -> Response:
        return self.request("POST", url, **kwargs)

    def put(self, url: str, **kwargs: Any) -> Response:
        return self.request("PUT", url, **kwargs)

    def patch(self, url: str, **kwargs: Any) -> Response:
        return self.request("PATCH", url, **kwargs)

    def delete(self, url: str, **kwargs: Any) -> Response:
        return self.request("DELETE", url, **kwargs)

    def websocket(self, url: str, *, headers: HeaderTypes = None,
                  subprotocols: Optional[Sequence[str]] = None, origin: Optional[str] = None,
                  timeout: Any = USE_CLIENT_DEFAULT) -> WebSocket:
        """A WebSocket, connected on entering its ``with`` block (or by
        ``connect()``); `timeout` bounds the opening handshake."""
        return WebSocket(*self._websocket(url, headers, subprotocols, origin, timeout))

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

    async def request(self, method: str, url: str, *, params: QueryParamTypes = None,
                      headers: HeaderTypes = None, content: Optional[RequestContent] = None,
                      data: Optional[Mapping[str, Any]] = None,
                      files: Optional[RequestFiles] = None, json: Any = None,
                      timeout: Any = USE_CLIENT_DEFAULT,
                      follow_redirects: Any = USE_CLIENT_DEFAULT, cache: Optional[str] = None,
                      priority: Optional[str] = None, auth: Any = USE_CLIENT_DEFAULT,
                      cookies: CookieTypes = None) -> Response:
        return await self._send(method, url, False, params, headers, content, data, files,
                                json, timeout, follow_redirects, cache, priority, auth, cookies)

    async def _send(self, method: str, url: str, stream: bool, params: QueryParamTypes = None,
                    headers: HeaderTypes = None, content: Optional[RequestContent] = None,
                    data: Optional[Mapping[str, Any]] = None,
                    files: Optional[RequestFiles] = None, json: Any = None,
                    timeout: Any = USE_CLIENT_DEFAULT,
                    follow_redirects: Any = USE_CLIENT_DEFAULT, cache: Optional[str] = None,
                    priority: Optional[str] = None, auth: Any = USE_CLIENT_DEFAULT,
                    cookies: CookieTypes = None) -> Response:
        request, encoded = self.build_request(method, url, params=params, headers=headers,
                                              content=content, data=data, files=files, json=json,
                                              cookies=cookies)

        def start(request: Request, encoded: Encoded) -> AsyncExchange:
            native, follow, max_redirects = self._native_request(
                request, encoded, timeout=timeout, follow_redirects=follow_redirects,
                cache=cache, priority=priority)
            channel = running_dispatcher(self._dispatchers).channel()
            return AsyncExchange(native, request, channel, follow=follow,
                                 max_redirects=max_redirects, upload=encoded.stream)

        flow = self._flow(auth, start)
        if flow is None:
            return await start(request, encoded).send(stream)
        return await flow.send_async(request, encoded, stream)

    @contextlib.asynccontextmanager
    async def stream(self, method: str, url: str, **kwargs: Any) -> AsyncIterator[Response]:
        """``async with client.stream(...) as r: async for chunk in r.aiter_bytes()``."""
        response = await self._send(method, url, True, **kwargs)
        try:
            yield response
        finally:
            await response.aclose()

    async def get(self, url: str, **kwargs: Any) -> Response:
        return await self.request("GET", url, **kwargs)

    async def options(self, url: str, **kwargs: Any) -> Response:
        return await self.request("OPTIONS", url, **kwargs)

    async def head(self, url: str, **kwargs: Any) -> Response:
        return await self.request("HEAD", url, **kwargs)

    async def post(self, url: str, **kwargs: Any) -> Response:
        return await self.request("POST", url, **kwargs)

    async def put(self, url: str, **kwargs: Any) -> Response:
        return await self.request("PUT", url, **kwargs)

    async def patch(self, url: str, **kwargs: Any) -> Response:
        return await self.request("PATCH", url, **kwargs)

    async def delete(self, url: str, **kwargs: Any) -> Response:
        return await self.request("DELETE", url, **kwargs)

    def websocket(self, url: str, *, headers: HeaderTypes = None,
                  subprotocols: Optional[Sequence[str]] = None, origin: Optional[str] = None,
                  timeout: Any = USE_CLIENT_DEFAULT) -> AsyncWebSocket:
        """Use as ``async with client.websocket(url) as ws``."""
        native, url = self._websocket(url, headers, subprotocols, origin, timeout)
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
