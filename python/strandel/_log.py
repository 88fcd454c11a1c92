"""The package's log: the logger "strandel" at DEBUG, one line per HTTP
exchange as it ends, and one per WebSocket opening and end. Callers ask
`enabled()` once per occasion and build nothing when it says no.

Whether a response came from the cache is not logged: ``response.from_cache``
says it, where the Core tells."""

from __future__ import annotations

import logging
import time

logger = logging.getLogger("strandel")


def enabled() -> bool:
    return logger.isEnabledFor(logging.DEBUG)


def _shown(outcome: object) -> object:
    if isinstance(outcome, BaseException):
        return f"{type(outcome).__name__}: {outcome}"
    return outcome


def exchange_ended(method: str, url: str, outcome: object, started: float) -> None:
    """`outcome`: the status code, the failure, or why there is neither."""
    logger.debug("%s %s -> %s (%.3f s)", method, url, _shown(outcome),
                 time.monotonic() - started)


def websocket_opened(url: str, subprotocol: str) -> None:
    logger.debug("WebSocket %s opened, subprotocol %r", url, subprotocol)


def websocket_ended(url: str, outcome: object) -> None:
    """`outcome`: the CloseMessage, or the failure."""
    logger.debug("WebSocket %s ended: %s", url, _shown(outcome))
