"""What a client does around each native exchange: the authentication flow,
the event hooks and the retries, for blocking and asyncio clients alike.

`start(request, encoded)` creates the exchange for one send (a native
request with the request's current headers); the flow sends it and looks at
its state to tell a failure before any response from one after."""

from __future__ import annotations

import asyncio
import time
from typing import Any, Callable, Optional

from ._auth import Auth, body_refused, replay_refused
from ._content import Encoded
from ._hooks import EventHooks, run_async, run_sync
from ._models import Request, Response
from ._retry import retry_pause

StartExchange = Callable[[Request, Encoded], Any]


def _responded(exchange: Any) -> bool:
    """Whether a response head (or a redirect not followed) had arrived."""
    state = exchange._state
    return state.head is not None or state.stopped_at is not None


class Flow:
    """The settings one request is sent with."""

    __slots__ = ("auth", "hooks", "retries", "start")

    def __init__(self, start: StartExchange, *, auth: Optional[Auth], hooks: EventHooks,
                 retries: int) -> None:
        self.start = start
        self.auth = auth
        self.hooks = hooks
        self.retries = retries

    def _pause(self, error: BaseException, request: Request, encoded: Encoded, exchange: Any,
               attempt: int) -> Optional[float]:
        return retry_pause(error, method=request.method, replayable=encoded.stream is None,
                           responded=exchange is not None and _responded(exchange),
                           attempt=attempt, retries=self.retries)

    # ---- blocking -----------------------------------------------------------------

    def _send_once(self, request: Request, encoded: Encoded, stream: bool) -> Response:
        """Request hooks, the exchange (sent again as the retries allow),
        response hooks; the body read after them unless `stream`."""
        run_sync(self.hooks["request"], request)
        response_hooks = self.hooks["response"]
        attempt = 0
        while True:
            exchange = None
            try:
                exchange = self.start(request, encoded)
                response: Response = exchange.send(stream or bool(response_hooks))
                break
            except Exception as e:
                pause = self._pause(e, request, encoded, exchange, attempt)
                if pause is None:
                    raise
            time.sleep(pause)
            attempt += 1
        if response_hooks:
            try:
                run_sync(response_hooks, response)
                if not stream:
                    response.read()
            except BaseException:
                response.close()
                raise
        return response

    def send_sync(self, request: Request, encoded: Encoded, stream: bool) -> Response:
        auth = self.auth
        if auth is None:
            return self._send_once(request, encoded, stream)
        if auth.requires_request_body and encoded.stream is not None:
            raise body_refused(auth)
        flow = auth.sync_auth_flow(request)
        try:
            request = next(flow)
            sent = 0
            while True:
                if sent and encoded.stream is not None:
                    raise replay_refused(request)
                response = self._send_once(request, encoded, True)
                sent += 1
                try:
                    request = flow.send(response)
                except StopIteration:
                    break
                except BaseException:
                    response.close()
                    raise
                response.close()
            if not stream:
                try:
                    response.read()
                finally:
                    response.close()
            return response
        finally:
            flow.close()

    # ---- asyncio --------------------------------------------------------------------

    async def _asend_once(self, request: Request, encoded: Encoded, stream: bool) -> Response:
        await run_async(self.hooks["request"], request)
        response_hooks = self.hooks["response"]
        attempt = 0
        while True:
            exchange = None
            try:
                exchange = self.start(request, encoded)
                response: Response = await exchange.send(stream or bool(response_hooks))
                break
            except Exception as e:
                pause = self._pause(e, request, encoded, exchange, attempt)
                if pause is None:
                    raise
            await asyncio.sleep(pause)
            attempt += 1
        if response_hooks:
            try:
                await run_async(response_hooks, response)
                if not stream:
                    await response.aread()
            except BaseException:
                await response.aclose()
                raise
        return response

    async def send_async(self, request: Request, encoded: Encoded, stream: bool) -> Response:
        auth = self.auth
        if auth is None:
            return await self._asend_once(request, encoded, stream)
        if auth.requires_request_body and encoded.stream is not None:
            raise body_refused(auth)
        flow = auth.async_auth_flow(request)
        try:
            request = await flow.__anext__()
            sent = 0
            while True:
                if sent and encoded.stream is not None:
                    raise replay_refused(request)
                response = await self._asend_once(request, encoded, True)
                sent += 1
                try:
                    request = await flow.asend(response)
                except StopAsyncIteration:
                    break
                except BaseException:
                    await response.aclose()
                    raise
                await response.aclose()
            if not stream:
                try:
                    await response.aread()
                finally:
                    await response.aclose()
            return response
        finally:
            await flow.aclose()


__all__ = ["Flow"]
