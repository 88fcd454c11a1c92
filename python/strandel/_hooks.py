"""Event hooks, as httpx calls them: ``event_hooks={"request": [...],
"response": [...]}``. Request hooks run with the Request just before it is
sent (each request of an authentication flow included); response hooks run
with the Response once its head has arrived, before its body is read. An
async client awaits what a hook returns when it is awaitable; a blocking
client refuses a coroutine function."""

from __future__ import annotations

import inspect
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence

HOOK_NAMES = ("request", "response")

EventHook = Callable[[Any], Any]
EventHooks = Dict[str, List[EventHook]]


def as_event_hooks(given: Optional[Mapping[str, Sequence[EventHook]]]) -> EventHooks:
    """`given` checked, as a new dict with a list for each event."""
    hooks: EventHooks = {name: [] for name in HOOK_NAMES}
    if given is None:
        return hooks
    if not isinstance(given, Mapping):
        raise TypeError(f"event_hooks must be a mapping of event names to lists of "
                        f"callables, not {type(given).__name__}")
    for name, listed in given.items():
        if name not in hooks:
            raise ValueError(f"unknown event {name!r} in event_hooks: "
                             "the events are 'request' and 'response'")
        if callable(listed) or isinstance(listed, (str, bytes)):
            raise TypeError(f"event_hooks[{name!r}] must be a list of callables, "
                            f"not {type(listed).__name__}")
        for hook in listed:
            if not callable(hook):
                raise TypeError(f"event_hooks[{name!r}] holds {type(hook).__name__}, "
                                "not a callable")
        hooks[name] = list(listed)
    return hooks


def run_sync(hooks: List[EventHook], argument: Any) -> None:
    for hook in hooks:
        result = hook(argument)
        if inspect.isawaitable(result):
            if inspect.iscoroutine(result):
                result.close()  # never awaited: no warning about it
            raise TypeError(f"the event hook {hook!r} returned an awaitable: a blocking "
                            "Client cannot await it (use AsyncClient)")


async def run_async(hooks: List[EventHook], argument: Any) -> None:
    for hook in hooks:
        result = hook(argument)
        if inspect.isawaitable(result):
            await result


__all__ = ["EventHooks", "as_event_hooks", "run_async", "run_sync"]
