"""The types of the public keywords, and the keyword sets that the verbs and
the one-call functions take, for type checkers (``Unpack`` of a TypedDict)."""

from __future__ import annotations

import os
from typing import Any, Literal, Mapping, Optional, Sequence, Tuple, TypedDict, Union

from ._auth import AuthTypes as AuthTypes
from ._content import QueryParamTypes, RequestContent, RequestData, RequestFiles
from ._cookies import CookieTypes as CookieTypes
from ._headers import HeaderTypes
from ._hooks import EventHook
from ._timeout import TimeoutTypes


class UseClientDefault:
    """The type of USE_CLIENT_DEFAULT: a request keyword left to the client."""

    def __repr__(self) -> str:
        return "USE_CLIENT_DEFAULT"


USE_CLIENT_DEFAULT = UseClientDefault()

RetriesTypes = int
EventHookTypes = Optional[Mapping[str, Sequence[EventHook]]]

CacheMode = Literal["default", "validate", "bypass", "no_store", "force", "only_if_cached"]
# True: the default mode; False: as "no_store" (the cache is neither read nor
# written).
CacheTypes = Union[bool, CacheMode]
PriorityTypes = Literal["default", "highest", "medium", "low", "lowest", "idle"]
HttpVersionTypes = Literal["auto", "native", "h1", "v1", "http/1.1", "h2", "v2", "http/2",
                           "h3", "v3", "http/3"]
VerifyTypes = Union[bool, str, "os.PathLike[str]"]
PathTypes = Union[str, "os.PathLike[str]"]
RequestTimeoutTypes = Union[TimeoutTypes, UseClientDefault]
FollowTypes = Union[bool, UseClientDefault]


class RequestOptions(TypedDict, total=False):
    """The keywords of a request without a body (get, head, options, delete)."""

    params: QueryParamTypes
    headers: HeaderTypes
    cookies: CookieTypes
    auth: Union[AuthTypes, None, UseClientDefault]
    timeout: RequestTimeoutTypes
    follow_redirects: FollowTypes
    cache: CacheTypes
    priority: Optional[PriorityTypes]


class RequestBodyOptions(RequestOptions, total=False):
    """The keywords of a request with a body (post, put, patch, request, stream)."""

    content: Optional[RequestContent]
    data: Optional[RequestData]
    files: Optional[RequestFiles]
    json: Any


class EngineOptions(TypedDict, total=False):
    """The engine keywords of the one-call functions (``strandel.get`` ...)."""

    impersonate: Optional[str]
    proxy: Optional[str]
    proxy_auth: Optional[Tuple[str, str]]
    verify: VerifyTypes
    ca_file: Optional[PathTypes]
    ca_pem: Optional[Union[bytes, str]]
    user_agent: Optional[str]
    accept_language: Optional[str]
    http_version: Optional[HttpVersionTypes]
    profile_namespace: Optional[str]
    trust_env: bool


class CallOptions(RequestOptions, EngineOptions, total=False):
    """``strandel.get`` and the other one-call functions without a body."""


class CallBodyOptions(RequestBodyOptions, EngineOptions, total=False):
    """``strandel.post``, ``strandel.request`` and the others with a body."""
