"""What the package mirrors of the layers below it, each named once: the
Core's result codes with the kind names the client layer shows for them, the
Chromium net error numbers the package tells apart, and the option names the
native module accepts."""

from __future__ import annotations

from enum import IntEnum
from typing import FrozenSet


class CoreResult(IntEnum):
    """The Core's result codes (``HV_OK``, ``HV_ERR_*``); ``kind`` is the
    name the client layer shows for one in an error's text."""

    OK = 0
    INVALID_ARGUMENT = 1
    UNSUPPORTED_ABI = 2
    OUT_OF_MEMORY = 3
    INITIALIZATION_FAILED = 4
    INVALID_STATE = 5
    TIMEOUT = 6
    CANCELED = 7
    NETWORK = 8
    TLS = 9
    PROXY = 10
    PROTOCOL = 11
    REDIRECT = 12
    CACHE_MISS = 13
    PROFILE_CONFLICT = 14
    PROFILE_UNSUPPORTED = 15

    @property
    def kind(self) -> str:
        """"InvalidArgument" for INVALID_ARGUMENT: the words joined, each
        capitalised, as the client layer spells them."""
        return "".join(word.capitalize() for word in self.name.split("_"))


# Kind names of the client layer's own failures, which no Core code carries.
CLIENT_KINDS = frozenset({"CallbackPanic", "BufferLimit"})

# The text a result code outside the table is shown as, followed by the code.
NATIVE_KIND = "native error"


class NetError(IntEnum):
    """The Chromium net error numbers that choose an exception class."""

    TIMED_OUT = -7
    UPLOAD_FILE_CHANGED = -14
    CONNECTION_REFUSED = -102
    CONNECTION_FAILED = -104
    NAME_NOT_RESOLVED = -105
    INTERNET_DISCONNECTED = -106
    ADDRESS_INVALID = -108
    ADDRESS_UNREACHABLE = -109
    CONNECTION_TIMED_OUT = -118
    NAME_RESOLUTION_FAILED = -137
    TOO_MANY_REDIRECTS = -310
    INVALID_RESPONSE = -320
    INVALID_CHUNKED_ENCODING = -321
    EMPTY_RESPONSE = -324
    RESPONSE_HEADERS_TOO_BIG = -325
    CONTENT_DECODING_FAILED = -330
    HTTP2_PROTOCOL_ERROR = -337
    CONTENT_LENGTH_MISMATCH = -354
    INCOMPLETE_CHUNKED_ENCODING = -355
    QUIC_PROTOCOL_ERROR = -356
    QUIC_HANDSHAKE_FAILED = -358
    INVALID_HTTP_RESPONSE = -370
    DNS_MALFORMED_RESPONSE = -800


# A request's option names as the native module takes them (exact, case
# sensitive); it refuses any other before the request is made. (The package
# chooses the redirect mode itself.)
CACHE_MODES: FrozenSet[str] = frozenset(
    {"default", "validate", "bypass", "no_store", "force", "only_if_cached"})
PRIORITIES: FrozenSet[str] = frozenset({"default", "highest", "medium", "low", "lowest", "idle"})
# The engine's http_version names.
HTTP_VERSIONS: FrozenSet[str] = frozenset(
    {"auto", "native", "h1", "v1", "http/1.1", "h2", "v2", "http/2", "h3", "v3", "http/3"})
