"""Retries of a client with `retries=N`: a request that failed to reach the
server (connection refused, reset or closed before any byte of a response,
a TLS handshake cut, a connect timeout) is sent again, up to N more times,
after a short pause that doubles each time. Only idempotent methods, only
with a body that can be sent again (none, or given whole), never once a
response has begun."""

from __future__ import annotations

from typing import FrozenSet, Optional

from ._errors import HTTPError

# Chromium net errors that mean the request never reached a server able to
# answer it: nothing of a response came back.
RETRYABLE_NET_ERRORS: FrozenSet[int] = frozenset({
    -100,  # ERR_CONNECTION_CLOSED
    -101,  # ERR_CONNECTION_RESET
    -102,  # ERR_CONNECTION_REFUSED
    -104,  # ERR_CONNECTION_FAILED
    -107,  # ERR_SSL_PROTOCOL_ERROR (the handshake cut)
    -118,  # ERR_CONNECTION_TIMED_OUT
    -324,  # ERR_EMPTY_RESPONSE
})

IDEMPOTENT_METHODS: FrozenSet[str] = frozenset(
    {"GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"})

FIRST_PAUSE = 0.05
LONGEST_PAUSE = 1.0


def check_retries(retries: object) -> int:
    if isinstance(retries, bool) or not isinstance(retries, int):
        raise TypeError(f"retries must be int, not {type(retries).__name__}")
    if retries < 0:
        raise ValueError(f"retries must be 0 or more, not {retries}")
    return retries


def retry_pause(error: BaseException, *, method: str, replayable: bool, responded: bool,
                attempt: int, retries: int) -> Optional[float]:
    """The pause before sending again after `error` on attempt `attempt`
    (0 for the first send), or None when the request is not to be sent
    again: not a failure to connect, a method that is not idempotent, a
    streamed body already spent, a response already begun, no retries left."""
    if attempt >= retries or responded or not replayable:
        return None
    if method.upper() not in IDEMPOTENT_METHODS:
        return None
    if not isinstance(error, HTTPError) or error.net_error not in RETRYABLE_NET_ERRORS:
        return None
    return float(min(FIRST_PAUSE * (2 ** attempt), LONGEST_PAUSE))


__all__ = ["IDEMPOTENT_METHODS", "RETRYABLE_NET_ERRORS", "check_retries", "retry_pause"]
