"""The HTTP cache against RFC 9111, case by case.

Each case scripts an origin's responses, makes a sequence of requests with a
fresh engine (once with the cache in memory, once with a profile namespace's
cache on disk) and checks, for every request, whether the origin saw nothing
("hit"), an unconditional request ("miss") or a conditional one
("revalidate"), and what the caller received. Staleness is made with old
Date, Age and Expires values, never by waiting (but for one case whose
slow origin is the point).

A case that checks a MUST or MUST NOT of RFC 9111 cites its section; the
table MUSTS at the end maps every such requirement that binds a private
cache to the cases that check it."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import time
import uuid
from dataclasses import dataclass, field
from typing import Callable

import pytest

from cache_server import Resp, classify, fetch, http_date

CACHE_MISS = "CacheMiss (Chromium net error -400)"
EMPTY_RESPONSE = "Network (Chromium net error -324)"  # closed before any response head
CUT_SHORT = "Network (Chromium net error -354)"  # closed before the announced body's end
# S.expect: answered from the store at once; the background revalidation it
# starts may reach the origin before the step's count is taken, or after.
STALE_HIT = "hit, renewed behind"
DAY = 86400


def ago(seconds: int) -> Callable[[], str]:
    return lambda: http_date(-seconds)


def ahead(seconds: int) -> Callable[[], str]:
    return lambda: http_date(seconds)


def _asctime(offset: int) -> str:
    return time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(time.time() + offset))


def R(*fields, status: int = 200, body: bytes | None = None, date: bool = True,
      **options) -> Resp:
    """A response: fields as "Name: value" texts or (name, value) pairs whose
    value may be a callable, evaluated when the case starts; `options` are
    further Resp fields."""
    headers = []
    for f in fields:
        if isinstance(f, str):
            name, _, value = f.partition(":")
            headers.append((name.strip(), value.strip()))
        else:
            headers.append(f)
    return Resp(status, headers, body, date=date, **options)


@dataclass
class S:
    """One request of a case and what it must give. `expect` is the outcome
    at the requested route, or a map of route to outcome."""

    expect: str | dict[str, str]
    method: str = "GET"
    headers: list[tuple[str, str]] = field(default_factory=list)
    cache: str | None = None
    route: str = ""
    status: int | None = None
    body: bytes | None = None
    sent: dict[str, str | None] | None = None  # request fields the origin saw (None: absent)
    shows: dict[str, str] | None = None  # fields of the delivered head, each exactly once
    hides: list[str] | None = None  # fields the delivered head must not have
    min_age: int | None = None
    redirects: int | None = None
    error: str | None = None
    timeout: float | None = None


@dataclass
class Case:
    name: str
    routes: list[Resp] | dict[str, list[Resp]]
    steps: list[S]
    rfc: str | None = None  # the RFC 9111 section whose MUST the case checks
    tz: str | None = None  # the process's TZ while the case runs


FIRST = b"response 1"
SECOND = b"response 2"
ETAG = 'ETag: "v1"'
LONG = "Cache-Control: max-age=3600"


CASES: list[Case] = []


def case(name: str, routes, *steps: S, rfc: str | None = None, tz: str | None = None):
    CASES.append(Case(name, routes, list(steps), rfc=rfc, tz=tz))


# ---- freshness: max-age, Expires, Date, Age (RFC 9111 4.2.1) --------------------------

case("max_age_fresh", [R(LONG)], S("miss", body=FIRST), S("hit", status=200, body=FIRST))
case("max_age_zero_with_etag", [R("Cache-Control: max-age=0", ETAG)],
     S("miss"), S("revalidate"),
     rfc="4")
case("max_age_zero_without_validator", [R("Cache-Control: max-age=0")],
     S("miss"), S("miss", body=SECOND),
     rfc="4.2.4")
case("stale_by_old_date", [R(LONG, ETAG, ("Date", ago(7200)))], S("miss"), S("revalidate"),
     rfc="4")
case("fresh_despite_old_date", [R(LONG, ("Date", ago(100)))], S("miss"), S("hit"))
case("stale_by_age_header", [R(LONG, ETAG, "Age: 7200")], S("miss"), S("revalidate"),
     rfc="4")
case("fresh_with_small_age", [R(LONG, "Age: 10")], S("miss"), S("hit"))
case("age_and_date_larger_wins", [R("Cache-Control: max-age=1000", ETAG, "Age: 10",
                                    ("Date", ago(2000)))], S("miss"), S("revalidate"),
     rfc="4.2.4")
case("expires_in_future", [R(("Expires", ahead(3600)))], S("miss"), S("hit"))
case("expires_in_past", [R(ETAG, ("Expires", ago(3600)))], S("miss"), S("revalidate"),
     rfc="4")
case("expires_invalid_is_expired", [R(ETAG, "Expires: soon")], S("miss"), S("revalidate"),
     rfc="5.3")
case("expires_zero_is_expired", [R("Last-Modified: Mon, 01 Jan 2001 00:00:00 GMT",
                                   "Expires: 0")],
     S("miss"), S("revalidate", sent={"If-Modified-Since": "Mon, 01 Jan 2001 00:00:00 GMT"}),
     rfc="5.3")
case("expires_measured_from_date", [R(("Date", ago(3600)), ("Expires", ahead(3600)))],
     S("miss"), S("hit"))
case("expires_before_date_is_stale", [R(ETAG, ("Date", ago(100)), ("Expires", ago(200)))],
     S("miss"), S("revalidate"),
     rfc="4.2.4")
case("expires_rfc850_format", [R("Expires: Sunday, 06-Nov-94 08:49:37 GMT", ETAG)],
     S("miss"), S("revalidate"),
     rfc="4.2.4")
case("expires_asctime_format_in_future", [R(("Expires", lambda: _asctime(3600)))],
     S("miss"), S("hit"))
case("max_age_beats_past_expires", [R(LONG, ("Expires", ago(3600)))], S("miss"), S("hit"),
     rfc="5.3")
case("max_age_zero_beats_future_expires",
     [R("Cache-Control: max-age=0", ETAG, ("Expires", ahead(3600)))], S("miss"), S("revalidate"),
     rfc="5.3")
case("invalid_max_age_is_stale", [R("Cache-Control: max-age=soon", ETAG,
                                    ("Expires", ahead(3600)))], S("miss"), S("revalidate"),
     rfc="5.3")
case("negative_max_age_is_stale", [R("Cache-Control: max-age=-5", ETAG)],
     S("miss"), S("revalidate"),
     rfc="4.2.4")
case("s_maxage_ignored_by_private_cache", [R("Cache-Control: s-maxage=3600", ETAG)],
     S("miss"), S("revalidate"),
     rfc="4.2.4")
case("s_maxage_zero_ignored", [R("Cache-Control: max-age=3600, s-maxage=0")],
     S("miss"), S("hit"))
case("duplicate_max_age_first_wins", [R("Cache-Control: max-age=3600, max-age=0", ETAG)],
     S("miss"), S("hit"))
case("duplicate_max_age_across_lines_first_wins",
     [R("Cache-Control: max-age=0", "Cache-Control: max-age=3600", ETAG)],
     S("miss"), S("revalidate"),
     rfc="4.2.4")
case("directives_on_several_lines", [R("Cache-Control: public", LONG)], S("miss"), S("hit"))
case("no_store_on_second_line", [R(LONG, "Cache-Control: no-store")], S("miss"), S("miss"),
     rfc="5.2.2.5")
case("quoted_max_age", [R('Cache-Control: max-age="3600"')], S("miss"), S("hit"))
case("comma_inside_quoted_string", [R('Cache-Control: private="x, no-store", max-age=3600')],
     S("miss"), S("hit"))
case("directive_names_without_case", [R("Cache-Control: MAX-AGE=3600")], S("miss"), S("hit"))

# ---- parsing: numbers, dates, unknown directives (RFC 9111 1.2.2, 4.2, 5.1-5.3) ----

case("max_age_overflow_is_a_long_lifetime",
     [R("Cache-Control: max-age=99999999999999999999", ETAG)], S("miss"), S("hit"),
     rfc="1.2.2")
case("age_overflow_is_stale", [R(LONG, ETAG, "Age: 99999999999999999999")],
     S("miss"), S("revalidate"),
     rfc="1.2.2")
case("unknown_directives_are_ignored",
     [R('Cache-Control: x-unknown, community="UCI", max-age=3600, x-other=1')],
     S("miss"), S("hit"),
     rfc="5.2.3")
case("max_age_with_space_before_equals_is_ignored", [R("Cache-Control: max-age = 3600", ETAG)],
     S("miss"), S("revalidate"))
case("age_not_a_number_is_ignored", [R(LONG, ETAG, "Age: 7200s")], S("miss"), S("hit"))
case("age_list_counts_by_its_first_member", [R(LONG, ETAG, "Age: 7200, 10")],
     S("miss"), S("revalidate"))
case("expires_read_without_letter_case", [R(ETAG, "Expires: SUN, 06 NOV 2044 08:49:37 gmt")],
     S("miss"), S("hit"))
# A date is one instant in every zone the machine may be set to. POSIX
# offsets count westwards: XST-14 is fourteen hours ahead of UTC.
case("expires_ahead_in_a_zone_east_of_utc", [R(ETAG, ("Expires", ahead(1800)))],
     S("miss"), S("hit"),
     rfc="4.2", tz="XST-14")
case("expires_past_in_a_zone_west_of_utc", [R(ETAG, ("Expires", ago(1800)))],
     S("miss"), S("revalidate"),
     rfc="4.2", tz="YST+12")
# The Age an origin gives counts from when the request went out: an answer
# that took more than a second leaves this one past its hour.
case("age_counts_from_the_request", [R(LONG, ETAG, "Age: 3599", delay=1.2)],
     S("miss"), S("revalidate"),
     rfc="4.2.3")

# ---- Age on delivery (RFC 9111 5.1) ------------------------------------------------

case("age_shown_on_hit", [R(LONG, ("Date", ago(100)))],
     S("miss"), S("hit", min_age=100),
     rfc="4")
case("age_replaces_stored_age", [R(LONG, "Age: 50")], S("miss"), S("hit", min_age=50),
     rfc="4")

# ---- heuristic freshness (RFC 9111 4.2.2) ------------------------------------------

case("heuristic_fresh", [R(("Last-Modified", ago(10 * DAY)))], S("miss"), S("hit"))
case("heuristic_stale", [R(("Last-Modified", ago(1000)), ("Date", ago(200)))],
     S("miss"), S("revalidate"),
     rfc="4")
case("heuristic_for_404", [R(("Last-Modified", ago(10 * DAY)), status=404)],
     S("miss", status=404), S("hit", status=404))
case("no_heuristic_without_last_modified", [R(ETAG)], S("miss"), S("revalidate"),
     rfc="4.2.4")
case("explicit_expiry_beats_heuristic", [R(("Last-Modified", ago(10 * DAY)),
                                           ("Expires", ago(1)))],
     S("miss"), S("revalidate"),
     rfc="4.2.2")

# ---- cacheable status codes (RFC 9111 3, RFC 9110 15.1) ----------------------------

for _status in (200, 203, 204, 300, 404, 405, 410, 414, 501):
    case(f"heuristically_cacheable_{_status}", [R(("Last-Modified", ago(10 * DAY)),
                                                  status=_status)],
         S("miss", status=_status), S("hit", status=_status))
case("500_not_stored_by_default", [R(("Last-Modified", ago(10 * DAY)), status=500)],
     S("miss"), S("miss"),
     rfc="3")
case("500_stored_with_max_age", [R(LONG, status=500)], S("miss"), S("hit", status=500))
case("201_stored_with_expires", [R(("Expires", ahead(3600)), status=201)],
     S("miss"), S("hit", status=201))
# A 206 that answers a request without Range is no part of anything asked for.
case("206_never_stored", [R(LONG, ETAG, "Content-Range: bytes 0-9/100", status=206)],
     S("miss"), S("miss"),
     rfc="3")

case("interim_103_not_stored",
     [R("Cache-Control: no-store", early=[("Cache-Control", "max-age=3600"),
                                           ("Link", "</s.css>; rel=preload")])],
     S("miss", status=200), S("miss", body=SECOND),
     rfc="3")
case("304_to_a_plain_request_not_stored", [R(LONG, ETAG, status=304), R(LONG)],
     S("miss", status=304), S("miss", status=200, body=SECOND),
     rfc="3")
case("must_understand_with_an_unknown_status_not_stored",
     [R("Cache-Control: max-age=3600, must-understand", status=299)],
     S("miss", status=299), S("miss", status=299, body=SECOND),
     rfc="3")

# ---- stored fields (RFC 9111 3.1) --------------------------------------------------

case("unknown_fields_are_stored", [R(LONG, "X-Unknown-Field: kept", "Content-Type: a/b")],
     S("miss"), S("hit", shows={"X-Unknown-Field": "kept", "Content-Type": "a/b"}),
     rfc="3.1")
case("proxy_fields_not_stored",
     [R(LONG, 'Proxy-Authenticate: Basic realm="p"', "Proxy-Authentication-Info: x=1")],
     S("miss"), S("hit", hides=["Proxy-Authenticate", "Proxy-Authentication-Info"]),
     rfc="3.1")
case("trailer_fields_stay_out_of_the_head",
     [R(LONG, chunked=True, trailers=[("X-Checksum", "abc")])],
     S("miss"), S("hit", body=FIRST, hides=["X-Checksum"]),
     rfc="3.1")

# ---- response directives (RFC 9111 5.2.2) ------------------------------------------

case("no_store_response", [R("Cache-Control: no-store, max-age=3600")], S("miss"), S("miss"),
     rfc="5.2.2.5")
case("private_stored_by_private_cache", [R("Cache-Control: private, max-age=3600")],
     S("miss"), S("hit"))
case("public_without_lifetime_revalidates", [R("Cache-Control: public", ETAG)],
     S("miss"), S("revalidate"))
case("no_cache_always_revalidates", [R("Cache-Control: no-cache, max-age=3600", ETAG),
                                     R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("revalidate", body=FIRST),
     rfc="5.2.2.4")
case("no_cache_field_names_left_out_of_a_hit",
     [R('Cache-Control: no-cache="X-Secret", max-age=3600', ETAG, "X-Secret: s1"),
      R(ETAG, status=304)],
     S("miss", shows={"X-Secret": "s1"}), S("hit", body=FIRST, hides=["X-Secret"]),
     S("revalidate", headers=[("Cache-Control", "no-cache")], body=FIRST,
       shows={"X-Secret": "s1"}),
     rfc="5.2.2.4")
case("private_field_names_not_stored",
     [R('Cache-Control: private="X-Secret", max-age=3600', "X-Secret: s1")],
     S("miss", shows={"X-Secret": "s1"}), S("hit", body=FIRST, hides=["X-Secret"]))
case("must_revalidate_fresh_is_used", [R("Cache-Control: max-age=3600, must-revalidate")],
     S("miss"), S("hit"))
case("must_revalidate_stale_revalidates",
     [R("Cache-Control: max-age=0, must-revalidate", ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST),
     rfc="5.2.2.2")
case("must_revalidate_beats_max_stale",
     [R("Cache-Control: max-age=0, must-revalidate", ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", headers=[("Cache-Control", "max-stale")]),
     rfc="5.2.2.2")
case("proxy_revalidate_is_for_shared_caches",
     [R("Cache-Control: max-age=0, proxy-revalidate", ETAG)],
     S("miss"), S("revalidate"), S("hit", headers=[("Cache-Control", "max-stale")]))
case("immutable_fresh_is_used", [R("Cache-Control: max-age=3600, immutable")],
     S("miss"), S("hit"))
for _name, _headers, _mode, _expect in (
        ("used_in_validate_mode", [], "validate", "hit"),
        ("used_on_reload", [("Cache-Control", "max-age=0")], None, "hit"),
        ("revalidated_for_request_no_cache", [("Cache-Control", "no-cache")], None, "revalidate")):
    case(f"immutable_{_name}", [R("Cache-Control: max-age=3600, immutable", ETAG),
                                R(ETAG, status=304)],
         S("miss"), S(_expect, headers=_headers, cache=_mode, body=FIRST))
case("immutable_stale_revalidates",
     [R("Cache-Control: max-age=10, immutable", ETAG, ("Date", ago(100))), R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST),
     rfc="4.2.4")

# ---- serving stale (RFC 9111 4.2.4, RFC 5861) --------------------------------------

V2 = 'ETag: "v2"'
OOPS = b"origin failed"


def stale(*directives: str, age: int = 100, fields=()) -> Resp:
    """A response ten seconds fresh, `age` seconds old, with `directives`."""
    control = ", ".join(("max-age=10",) + directives)
    return R(f"Cache-Control: {control}", ETAG, ("Date", ago(age)), *fields)


# A request that found no connection to reuse: a dropped answer is not tried
# again on a fresh one.
CLOSE = ("Connection: close",)

case("swr_serves_the_stale_entry_at_once",
     [stale("stale-while-revalidate=3600"), R(LONG, V2)],
     S("miss"), S(STALE_HIT, status=200, body=FIRST, min_age=100),
     rfc="4")
for _name, _directive, _headers, _mode, _rfc in (
        ("must_revalidate", "must-revalidate", [], None, "5.2.2.2"),
        ("no_cache", "no-cache", [], None, "5.2.2.4"),
        ("proxy_revalidate", "proxy-revalidate", [], None, None),
        ("request_no_cache", None, [("Cache-Control", "no-cache")], None, None),
        ("request_max_age", None, [("Cache-Control", "max-age=50")], None, None),
        ("request_min_fresh", None, [("Cache-Control", "min-fresh=5")], None, None),
        ("validate_mode", None, [], "validate", None)):
    case(f"swr_stopped_by_{_name}",
         [stale("stale-while-revalidate=3600", *filter(None, [_directive])), R(LONG, V2)],
         S("miss"), S("revalidate", headers=_headers, cache=_mode, body=SECOND),
         rfc=_rfc)
case("swr_beyond_its_window_revalidates",
     [stale("stale-while-revalidate=60", age=1000), R(LONG, V2)],
     S("miss"), S("revalidate", body=SECOND),
     rfc="4.2.4")
case("swr_with_an_invalid_window_revalidates",
     [stale("stale-while-revalidate=soon"), R(LONG, V2)],
     S("miss"), S("revalidate", body=SECOND))

# The error is neither delivered nor stored (it says max-age=3600): the next
# request finds the stale entry again.
for _status in (500, 502, 503, 504):
    case(f"sie_serves_stale_on_{_status}",
         [stale("stale-if-error=3600"), R(LONG, status=_status, body=OOPS)],
         S("miss"), S("revalidate", status=200, body=FIRST),
         S("revalidate", status=200, body=FIRST))
case("sie_serves_stale_when_the_connection_drops",
     [stale("stale-if-error=3600", fields=CLOSE), R(drop=True)],
     S("miss"), S("revalidate", status=200, body=FIRST, min_age=100),
     rfc="4")
# The origin is slow, not failing: a request that gives up waiting fails.
case("sie_not_for_a_timeout", [stale("stale-if-error=3600", fields=CLOSE), R(delay=3)],
     S("miss"), S("revalidate", timeout=0.5, error="Timeout (Chromium net error -7)"))
case("sie_asked_for_by_the_request", [stale(), R(status=503, body=OOPS)],
     S("miss"),
     S("revalidate", headers=[("Cache-Control", "stale-if-error=3600")], status=200, body=FIRST))
for _name, _directive, _rfc in (("must_revalidate", "must-revalidate", "5.2.2.2"),
                                ("no_cache", "no-cache", "5.2.2.4"),
                                ("proxy_revalidate", "proxy-revalidate", None)):
    case(f"sie_stopped_by_{_name}",
         [stale("stale-if-error=3600", _directive), R(status=500, body=OOPS)],
         S("miss"), S("revalidate", status=500, body=OOPS),
         rfc=_rfc)
case("sie_beyond_its_window_delivers_the_error",
     [stale("stale-if-error=60", age=1000), R(status=500, body=OOPS)],
     S("miss"), S("revalidate", status=500, body=OOPS),
     rfc="4.2.4")
case("sie_not_for_other_statuses", [stale("stale-if-error=3600"), R(status=501, body=OOPS)],
     S("miss"), S("revalidate", status=501, body=OOPS))
case("sie_not_in_validate_mode", [stale("stale-if-error=3600"), R(status=500, body=OOPS)],
     S("miss"), S("revalidate", cache="validate", status=500, body=OOPS))
case("error_without_sie_is_delivered", [stale(), R(status=500, body=OOPS)],
     S("miss"), S("revalidate", status=500, body=OOPS),
     rfc="4.2.4")
case("dropped_connection_without_sie_fails", [stale(fields=CLOSE), R(drop=True)],
     S("miss"), S("revalidate", error=EMPTY_RESPONSE),
     rfc="4.2.4")
case("must_revalidate_stops_both_stale_windows",
     [stale("stale-while-revalidate=3600", "stale-if-error=3600", "must-revalidate"),
      R(status=503, body=OOPS)],
     S("miss"), S("revalidate", status=503, body=OOPS),
     rfc="5.2.2.2")
case("must_revalidate_when_disconnected_fails",
     [stale("stale-if-error=3600", "must-revalidate", fields=CLOSE), R(drop=True)],
     S("miss"), S("revalidate", error=EMPTY_RESPONSE),
     rfc="5.2.2.2")

# ---- validation (RFC 9111 4.3) -----------------------------------------------------

case("etag_sent_as_if_none_match", [R("Cache-Control: max-age=0", ETAG), R(ETAG, status=304)],
     S("miss"),
     S("revalidate", status=200, body=FIRST,
       sent={"If-None-Match": '"v1"', "If-Modified-Since": None}),
     rfc="4.3.1")
case("weak_etag_sent_as_is", [R("Cache-Control: max-age=0", 'ETag: W/"w1"'),
                              R('ETag: W/"w1"', status=304)],
     S("miss"), S("revalidate", body=FIRST, sent={"If-None-Match": 'W/"w1"'}),
     rfc="4.3.1")
case("last_modified_sent_as_if_modified_since",
     [R("Cache-Control: max-age=0", "Last-Modified: Mon, 01 Jan 2001 00:00:00 GMT"),
      R(status=304)],
     S("miss"),
     S("revalidate", body=FIRST, sent={"If-Modified-Since": "Mon, 01 Jan 2001 00:00:00 GMT",
                                       "If-None-Match": None}))
case("both_validators_sent",
     [R("Cache-Control: max-age=0", ETAG, "Last-Modified: Mon, 01 Jan 2001 00:00:00 GMT"),
      R(ETAG, status=304)],
     S("miss"),
     S("revalidate", body=FIRST, sent={"If-None-Match": '"v1"',
                                       "If-Modified-Since": "Mon, 01 Jan 2001 00:00:00 GMT"}))
case("revalidated_by_200_replaces", [R("Cache-Control: max-age=0", ETAG),
                                     R(LONG, 'ETag: "v2"'), R(LONG)],
     S("miss"), S("revalidate", status=200, body=SECOND), S("hit", body=SECOND),
     rfc="4.3.3")
case("304_updates_headers_and_freshness",
     [R("Cache-Control: max-age=0", ETAG, "X-Version: 1", "Content-Type: text/plain"),
      R(ETAG, LONG, "X-Version: 2", status=304)],
     S("miss"),
     S("revalidate", status=200, body=FIRST,
       shows={"X-Version": "2", "Cache-Control": "max-age=3600", "Content-Type": "text/plain"}),
     S("hit", body=FIRST, shows={"X-Version": "2"}),
     rfc="4.3.4")
case("304_keeps_stored_content_length",
     [R("Cache-Control: max-age=0", ETAG), R(ETAG, "Content-Length: 0", status=304)],
     S("miss"), S("revalidate", body=FIRST, shows={"Content-Length": str(len(FIRST))}),
     rfc="3.2")
case("304_without_freshness_stays_stale", [R("Cache-Control: max-age=0", ETAG),
                                           R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("revalidate", body=FIRST))
case("revalidated_by_404_replaces", [R("Cache-Control: max-age=0", ETAG),
                                     R(LONG, status=404, body=b"gone")],
     S("miss"), S("revalidate", status=404, body=b"gone"), S("hit", status=404, body=b"gone"),
     rfc="4.3.3")
case("revalidated_by_uncacheable_answer_is_delivered",
     [R("Cache-Control: max-age=0", ETAG), R("Cache-Control: no-store", body=b"new")],
     S("miss"), S("revalidate", status=200, body=b"new"),
     rfc="4.3.3")
case("304_without_age_renews_age", [R(LONG, ETAG, "Age: 7200"), R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("hit", body=FIRST))
case("304_without_date_renews_date", [R(LONG, ETAG, ("Date", ago(7200))),
                                      R(ETAG, status=304, date=False)],
     S("miss"), S("revalidate", body=FIRST), S("hit", body=FIRST))
case("304_with_another_strong_etag_updates_nothing",
     [R("Cache-Control: max-age=0", ETAG, "X-Version: 1"),
      R('ETag: "v2"', LONG, "X-Version: 2", status=304)],
     S("miss"),
     S("revalidate", body=FIRST, sent={"If-None-Match": '"v1"'},
       shows={"X-Version": "1", "ETag": '"v1"'}),
     S("revalidate", body=FIRST, sent={"If-None-Match": '"v1"'}),
     rfc="4.3.4")
for _stored in ('"v1"', 'W/"v1"'):
    case(f"304_weak_etag_updates_{'weak' if _stored.startswith('W/') else 'strong'}_etag",
         [R("Cache-Control: max-age=0", ("ETag", _stored), "X-Version: 1"),
          R('ETag: W/"v1"', LONG, "X-Version: 2", status=304)],
         S("miss"), S("revalidate", body=FIRST, shows={"X-Version": "2"}),
         S("hit", body=FIRST, shows={"X-Version": "2"}),
         rfc="4.3.4")
case("304_weak_etag_updates_a_vary_entry",
     [R("Cache-Control: max-age=0", ETAG, "Vary: Accept"), R('ETag: W/"v1"', LONG, status=304)],
     S("miss", headers=[("Accept", "a/b")]),
     S("revalidate", headers=[("Accept", "a/b")], body=FIRST),
     S("hit", headers=[("Accept", "a/b")], body=FIRST),
     rfc="4.3.4")
case("304_without_validator_updates_the_entry",
     [R("Cache-Control: max-age=0", ETAG), R(LONG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("hit", body=FIRST),
     rfc="4.3.4")
case("callers_own_condition_goes_to_origin", [R(LONG, ETAG), R(ETAG, status=304)],
     S("miss"),
     S("revalidate", headers=[("If-None-Match", '"v1"')], status=304, body=b""),
     S("hit", body=FIRST),
     rfc="4.3.2")

case("callers_if_match_reaches_the_origin", [R(LONG, ETAG), R(ETAG, status=412, body=b"")],
     S("miss"), S("miss", headers=[("If-Match", '"v0"')], status=412), S("hit", body=FIRST),
     rfc="4.3.2")
case("callers_condition_without_a_stored_response", [R(ETAG, status=304)],
     S("revalidate", headers=[("If-None-Match", '"v1"')], status=304, body=b""),
     rfc="4.3.2")

# ---- partial content (RFC 9111 3.3, 3.4; RFC 9110 14) ------------------------------

WHOLE = b"abcdefghij"
NEW = b"ABCDEFGHIJ"


def ranged(*fields, body: bytes = WHOLE) -> Resp:
    """An origin that answers a byte range with its slice (a 206)."""
    return R(*fields, body=body, ranged=True)


def span(spec: str) -> list[tuple[str, str]]:
    return [("Range", f"bytes={spec}")]


case("fresh_200_answers_a_range",
     [R(LONG), R("Content-Range: bytes 0-3/10", status=206, body=b"resp")],
     S("miss"),
     S("hit", headers=[("Range", "bytes=0-3")], status=206, body=FIRST[:4],
       shows={"Content-Range": f"bytes 0-3/{len(FIRST)}", "Content-Length": "4"}),
     S("hit", body=FIRST),
     rfc="3.3")
case("range_part_is_stored_and_reused", [ranged(LONG, ETAG)],
     S("miss", headers=span("0-4"), status=206, body=b"abcde"),
     S("hit", headers=span("0-4"), status=206, body=b"abcde",
       shows={"Content-Range": "bytes 0-4/10", "Content-Length": "5"}),
     rfc="3.3")
case("range_inside_a_stored_part_is_a_hit", [ranged(LONG, ETAG)],
     S("miss", headers=span("2-8"), status=206, body=b"cdefghi"),
     S("hit", headers=span("3-5"), status=206, body=b"def",
       shows={"Content-Range": "bytes 3-5/10", "Content-Length": "3"}),
     rfc="3.3")
case("open_and_suffix_ranges_inside_a_stored_part", [ranged(LONG, ETAG)],
     S("miss", headers=span("5-"), status=206, body=b"fghij"),
     S("hit", headers=span("6-"), status=206, body=b"ghij",
       shows={"Content-Range": "bytes 6-9/10"}),
     S("hit", headers=span("-3"), status=206, body=b"hij",
       shows={"Content-Range": "bytes 7-9/10"}))
case("range_past_a_stored_part_asks_for_the_missing_span", [ranged(LONG, ETAG)],
     S("miss", headers=span("0-4"), body=b"abcde"),
     S("miss", headers=span("3-7"), status=206, body=b"defgh",
       sent={"Range": "bytes=5-7", "If-Range": '"v1"'},
       shows={"Content-Range": "bytes 3-7/10", "Content-Length": "5"}),
     S("hit", headers=span("0-7"), status=206, body=b"abcdefgh"),
     rfc="3.3")
case("full_get_over_a_part_asks_for_the_rest", [ranged(LONG, ETAG)],
     S("miss", headers=span("0-4"), body=b"abcde"),
     S("miss", status=200, body=WHOLE, sent={"Range": "bytes=5-9", "If-Range": '"v1"'},
       shows={"Content-Length": "10"}, hides=["Content-Range"]),
     S("hit", status=200, body=WHOLE),
     rfc="3.3")
case("parts_covering_everything_make_a_complete_entry", [ranged(LONG, ETAG)],
     S("miss", headers=span("0-4"), body=b"abcde"),
     S("miss", headers=span("5-9"), status=206, body=b"fghij",
       sent={"Range": "bytes=5-9", "If-Range": '"v1"'}),
     S("hit", status=200, body=WHOLE, shows={"Content-Length": "10"}, hides=["Content-Range"]),
     rfc="3.3")
case("combined_part_updates_the_stored_fields",
     [ranged(LONG, ETAG, "X-Version: 1"), ranged(LONG, ETAG, "X-Version: 2")],
     S("miss", headers=span("0-4")), S("miss", headers=span("5-9")),
     S("hit", body=WHOLE, shows={"X-Version": "2"}),
     rfc="3.4")
case("changed_representation_answers_the_missing_span_with_200",
     [ranged(LONG, ETAG), ranged(LONG, V2, body=NEW)],
     S("miss", headers=span("0-4"), body=b"abcde"),
     S("miss", headers=span("3-7"), status=200, body=NEW, sent={"If-Range": '"v1"'}),
     S("hit", status=200, body=NEW),
     S("hit", headers=span("0-4"), status=206, body=b"ABCDE"))
case("stale_part_is_replaced_by_a_new_one",
     [ranged("Cache-Control: max-age=0", ETAG), ranged(LONG, V2, body=NEW)],
     S("miss", headers=span("0-4"), body=b"abcde"),
     S("miss", headers=span("0-4"), status=206, body=b"ABCDE",
       sent={"Range": "bytes=0-4", "If-Range": None, "If-None-Match": None}),
     S("hit", headers=span("1-3"), status=206, body=b"BCD"),
     rfc="3.3")
for _name, _fields, _rfc in (
        ("a_weak_etag", ('ETag: W/"v1"', "Content-Range: bytes 0-4/10"), None),
        ("an_unknown_length", (ETAG, "Content-Range: bytes 0-4/*"), None),
        ("another_unit", (ETAG, "Content-Range: items 0-4/10"), "3.3")):
    case(f"part_with_{_name}_not_stored", [R(LONG, *_fields, status=206, body=b"abcde")],
         S("miss", headers=span("0-4"), status=206),
         S("miss", headers=span("0-4"), status=206, sent={"If-Range": None}),
         rfc=_rfc)
case("truncated_200_is_not_used", [R(LONG, ETAG, truncate=True), R(LONG)],
     S("miss", error=CUT_SHORT), S("miss", body=SECOND, sent={"Range": None}),
     rfc="3.3")
case("several_ranges_go_to_the_origin", [R(LONG), R(LONG, body=b"other")],
     S("miss"), S("miss", headers=[("Range", "bytes=0-1,4-5")], status=200, body=b"other"),
     S("hit", body=FIRST))
case("range_with_its_own_if_range_goes_to_the_origin",
     [R(LONG, ETAG), R(ETAG, "Content-Range: bytes 0-3/10", status=206, body=b"resp")],
     S("miss"),
     S("miss", headers=[("Range", "bytes=0-3"), ("If-Range", '"v1"')], status=206,
       body=b"resp"),
     S("hit", body=FIRST))
case("callers_if_none_match_left_alone_over_a_part", [ranged(LONG, ETAG), R(LONG, V2, body=NEW)],
     S("miss", headers=span("0-4")),
     S("revalidate", headers=[("If-None-Match", '"zz"')], status=200, body=NEW,
       sent={"If-None-Match": '"zz"'}),
     rfc="4.3.2")

# ---- request directives (RFC 9111 5.2.1) -------------------------------------------

case("request_no_cache_revalidates", [R(LONG, ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", headers=[("Cache-Control", "no-cache")], body=FIRST))
case("request_pragma_no_cache_revalidates", [R(LONG, ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", headers=[("Pragma", "no-cache")], body=FIRST))
case("request_pragma_ignored_with_cache_control", [R(LONG, ETAG)],
     S("miss"), S("hit", headers=[("Pragma", "no-cache"), ("Cache-Control", "max-age=3600")]))
case("request_max_age_zero_revalidates_aged_entry", [R(LONG, ETAG, ("Date", ago(10)))],
     S("miss"), S("revalidate", headers=[("Cache-Control", "max-age=0")]))
case("request_max_age_above_age", [R(LONG, ETAG, ("Date", ago(100)))],
     S("miss"), S("hit", headers=[("Cache-Control", "max-age=600")]))
case("request_max_age_below_age", [R(LONG, ETAG, ("Date", ago(100)))],
     S("miss"), S("revalidate", headers=[("Cache-Control", "max-age=50")]))
case("request_min_fresh_satisfied", [R(LONG, ETAG)],
     S("miss"), S("hit", headers=[("Cache-Control", "min-fresh=600")]))
case("request_min_fresh_not_satisfied", [R(LONG, ETAG)],
     S("miss"), S("revalidate", headers=[("Cache-Control", "min-fresh=7200")]))
case("request_max_stale_any", [R(LONG, ETAG, ("Date", ago(7200)))],
     S("miss"), S("hit", headers=[("Cache-Control", "max-stale")]))
case("request_max_stale_enough", [R(LONG, ETAG, ("Date", ago(7200)))],
     S("miss"), S("hit", headers=[("Cache-Control", "max-stale=7200")]))
case("request_max_stale_too_small", [R(LONG, ETAG, ("Date", ago(7200)))],
     S("miss"), S("revalidate", headers=[("Cache-Control", "max-stale=60")]),
     rfc="4.2.4")
case("request_no_store_is_not_stored", [R(LONG)],
     S("miss", headers=[("Cache-Control", "no-store")]), S("miss"), S("hit"),
     rfc="5.2.1.5")
case("request_no_store_leaves_entry", [R(LONG)],
     S("miss"), S("miss", headers=[("Cache-Control", "no-store")]), S("hit", body=FIRST))
case("request_only_if_cached_hit", [R(LONG)],
     S("miss"), S("hit", headers=[("Cache-Control", "only-if-cached")], body=FIRST))
case("request_only_if_cached_stale_is_used", [R(LONG, ETAG, ("Date", ago(7200)))],
     S("miss"), S("hit", headers=[("Cache-Control", "only-if-cached")], body=FIRST))
case("request_only_if_cached_miss", [R(LONG)],
     S("hit", headers=[("Cache-Control", "only-if-cached")], error=CACHE_MISS))

# ---- Vary (RFC 9111 4.1) -----------------------------------------------------------

case("vary_same_value", [R(LONG, "Vary: Accept")],
     S("miss", headers=[("Accept", "a/b")]), S("hit", headers=[("Accept", "a/b")]),
     rfc="4.1")
case("vary_other_value", [R(LONG, "Vary: Accept")],
     S("miss", headers=[("Accept", "a/b")]), S("miss", headers=[("Accept", "c/d")]),
     rfc="4.1")
case("vary_header_now_present", [R(LONG, "Vary: X-Mode")],
     S("miss"), S("miss", headers=[("X-Mode", "1")]),
     rfc="4.1")
case("vary_header_now_absent", [R(LONG, "Vary: X-Mode")],
     S("miss", headers=[("X-Mode", "1")]), S("miss"),
     rfc="4.1")
case("vary_names_without_case", [R(LONG, "Vary: x-mode")],
     S("miss", headers=[("X-Mode", "1")]), S("hit", headers=[("x-mode", "1")]))
case("vary_on_a_field_the_client_adds", [R(LONG, "Vary: Accept-Encoding, User-Agent")],
     S("miss"), S("hit"))
case("vary_star_never_matches", [R(LONG, "Vary: *")], S("miss"), S("miss"),
     rfc="4.1")
case("vary_several_fields", [R(LONG, "Vary: X-A", "Vary: X-B")],
     S("miss", headers=[("X-A", "1"), ("X-B", "2")]),
     S("hit", headers=[("X-B", "2"), ("X-A", "1")]),
     S("miss", headers=[("X-A", "1"), ("X-B", "3")]),
     rfc="4.1")
case("vary_one_entry_per_url", [R(LONG, "Vary: Accept")],
     S("miss", headers=[("Accept", "a/b")]), S("miss", headers=[("Accept", "c/d")]),
     S("miss", headers=[("Accept", "a/b")]), S("hit", headers=[("Accept", "a/b")]),
     rfc="4")

# ---- invalidation (RFC 9111 4.4) ---------------------------------------------------

# A method the cache does not know may be unsafe: it invalidates as well.
for _method in ("POST", "PUT", "PATCH", "DELETE", "FROB"):
    case(f"{_method.lower()}_invalidates", [R(LONG), R(status=200), R(LONG)],
         S("miss"), S("hit"), S("miss", method=_method), S("miss", body=b"response 3"),
         rfc="4.4")
case("post_response_not_stored", [R(LONG)],
     S("miss", method="POST"), S("miss"), S("hit"),
     rfc="3")
case("query_is_part_of_the_key", {"?a=1": [R(LONG)], "?a=2": [R(LONG)]},
     S("miss", route="?a=1"), S("miss", route="?a=2"), S("hit", route="?a=1"),
     rfc="4")
case("post_error_keeps_entry", [R(LONG), R(status=500)],
     S("miss"), S("miss", method="POST", status=500), S("hit", body=FIRST))
case("post_redirect_invalidates", {"": [R(LONG), R("Location: {base}/t", status=303)],
                                   "/t": [R()]},
     S("miss"), S({"": "miss", "/t": "miss"}, method="POST"), S("miss"),
     rfc="4.4")
case("post_invalidates_location", {"": [R("Location: {base}/other", status=201)],
                                   "/other": [R(LONG)]},
     S("miss", route="/other"), S("hit", route="/other"), S("miss", method="POST"),
     S("miss", route="/other"))
case("post_invalidates_content_location", {"": [R("Content-Location: {base}/other")],
                                           "/other": [R(LONG)]},
     S("miss", route="/other"), S("miss", method="POST"), S("miss", route="/other"))
case("post_leaves_other_origin_location", {"": [R("Location: http://localhost:{port}{base}/other",
                                                  status=201)],
                                           "/other": [R(LONG)]},
     S("miss", route="/other"), S("miss", method="POST"), S("hit", route="/other"),
     rfc="4.4")
case("get_does_not_invalidate", {"": [R(LONG)], "/other": [R("Location: {base}")]},
     S("miss"), S("miss", route="/other"), S("hit"))

# ---- HEAD (RFC 9111 4.3.5) ---------------------------------------------------------

case("head_goes_to_origin_and_is_not_stored", [R(LONG)],
     S("miss", method="HEAD", body=b""), S("miss", body=SECOND),
     rfc="4")
case("head_freshens_stored_response",
     [R("Cache-Control: max-age=0", ETAG, "X-Version: 1"), R(ETAG, LONG, "X-Version: 2")],
     S("miss"), S("miss", method="HEAD"), S("hit", body=FIRST, shows={"X-Version": "2"}),
     rfc="4.3.5")
case("head_with_other_etag_does_not_freshen",
     [R("Cache-Control: max-age=0", ETAG), R('ETag: "v2"', LONG), R(ETAG, status=304)],
     S("miss"), S("miss", method="HEAD"), S("revalidate", body=FIRST))

# ---- redirects (RFC 9111 3, RFC 9110 15.4) -----------------------------------------

for _status in (301, 308):
    case(f"{_status}_stored_with_max_age",
         {"": [R("Location: {base}/t", LONG, status=_status)], "/t": [R(LONG)]},
         S({"": "miss", "/t": "miss"}, body=FIRST, redirects=1),
         S({"": "hit", "/t": "hit"}, status=200, body=FIRST, redirects=1))
    case(f"{_status}_heuristically_fresh",
         {"": [R("Location: {base}/t", ("Last-Modified", ago(10 * DAY)), status=_status)],
          "/t": [R(LONG)]},
         S({"": "miss", "/t": "miss"}), S({"": "hit", "/t": "hit"}, redirects=1))
    case(f"{_status}_without_lifetime_is_fetched_again",
         {"": [R("Location: {base}/t", status=_status)], "/t": [R(LONG)]},
         S({"": "miss", "/t": "miss"}), S({"": "miss", "/t": "hit"}, redirects=1))
for _status in (302, 303, 307):
    case(f"{_status}_not_stored_by_default",
         {"": [R("Location: {base}/t", status=_status)], "/t": [R(LONG)]},
         S({"": "miss", "/t": "miss"}, redirects=1), S({"": "miss", "/t": "hit"}, redirects=1),
         rfc="3")
    case(f"{_status}_stored_with_max_age",
         {"": [R("Location: {base}/t", LONG, status=_status)], "/t": [R(LONG)]},
         S({"": "miss", "/t": "miss"}), S({"": "hit", "/t": "hit"}, body=FIRST, redirects=1))
case("307_stored_with_expires",
     {"": [R("Location: {base}/t", ("Expires", ahead(3600)), status=307)], "/t": [R(LONG)]},
     S({"": "miss", "/t": "miss"}), S({"": "hit", "/t": "hit"}, redirects=1))
case("301_revalidated_by_304",
     {"": [R("Location: {base}/t", "Cache-Control: max-age=0", ETAG, status=301),
           R(ETAG, status=304)],
      "/t": [R(LONG)]},
     S({"": "miss", "/t": "miss"}),
     S({"": "revalidate", "/t": "hit"}, status=200, body=FIRST, redirects=1))
case("301_no_store_not_stored",
     {"": [R("Location: {base}/t", "Cache-Control: no-store", status=301)], "/t": [R(LONG)]},
     S({"": "miss", "/t": "miss"}), S({"": "miss", "/t": "hit"}),
     rfc="5.2.2.5")
case("301_stale_is_fetched_again",
     {"": [R("Location: {base}/t", "Cache-Control: max-age=0", status=301)], "/t": [R(LONG)]},
     S({"": "miss", "/t": "miss"}), S({"": "miss", "/t": "hit"}))


# ---- cache modes over the directives -----------------------------------------------

case("validate_mode_revalidates_a_fresh_entry", [R(LONG, ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", cache="validate", body=FIRST))
case("force_mode_uses_a_must_revalidate_entry",
     [R("Cache-Control: max-age=0, must-revalidate", ETAG)],
     S("miss"), S("hit", cache="force", body=FIRST))
case("only_if_cached_mode_uses_a_no_cache_entry", [R("Cache-Control: no-cache", ETAG)],
     S("miss"), S("hit", cache="only_if_cached", body=FIRST))
case("bypass_mode_ignores_a_fresh_entry_and_stores", [R(LONG)],
     S("miss"), S("miss", cache="bypass", body=SECOND), S("hit", body=SECOND))


# ---- the MUSTs of RFC 9111 that bind a private cache, and their cases --------------

@dataclass
class Must:
    section: str
    rule: str
    cases: list[str]


_INVALIDATES = [f"{m}_invalidates" for m in ("post", "put", "patch", "delete", "frob")]

MUSTS = [
    Must("1.2.2", "a delta-seconds too large to represent, or an overflowing sum, counts as "
         "2147483648", ["max_age_overflow_is_a_long_lifetime", "age_overflow_is_stale"]),
    Must("3", "MUST NOT store a response to a method it does not understand",
         ["post_response_not_stored", "head_goes_to_origin_and_is_not_stored"]),
    Must("3", "MUST NOT store a response whose status code is not final",
         ["interim_103_not_stored"]),
    Must("3", "MUST NOT store a 206 or 304, or a response with must-understand, unless it "
         "understands the status code",
         ["206_never_stored", "304_to_a_plain_request_not_stored",
          "must_understand_with_an_unknown_status_not_stored",
          "part_with_another_unit_not_stored"]),
    Must("3", "MUST NOT store a response with the no-store directive",
         ["no_store_response", "no_store_on_second_line", "301_no_store_not_stored"]),
    Must("3", "MUST NOT store a response without public, private, Expires, max-age, an "
         "extension allowing it or a heuristically cacheable status",
         ["500_not_stored_by_default", "302_not_stored_by_default",
          "303_not_stored_by_default", "307_not_stored_by_default"]),
    Must("3.1", "MUST store all received header fields, unrecognised ones included",
         ["unknown_fields_are_stored"]),
    Must("3.1", "MUST NOT store fields specific to the proxy it forwards through "
         "(Proxy-Authenticate, Proxy-Authentication-Info, Proxy-Authorization)",
         ["proxy_fields_not_stored"]),
    Must("3.1", "MUST NOT combine trailer fields with header fields",
         ["trailer_fields_stay_out_of_the_head"]),
    Must("3.2", "an update MUST add each field of the new response, replacing stored values, "
         "except Content-Length and fields the stored response depends on",
         ["304_keeps_stored_content_length", "304_updates_headers_and_freshness"]),
    Must("3.3", "MUST NOT store partial content unless it supports Range and Content-Range "
         "and understands the range unit", ["part_with_another_unit_not_stored"]),
    Must("3.3", "MUST NOT use an incomplete response unless made complete, or for a range "
         "wholly within it",
         ["truncated_200_is_not_used", "range_part_is_stored_and_reused",
          "range_inside_a_stored_part_is_a_hit",
          "range_past_a_stored_part_asks_for_the_missing_span",
          "full_get_over_a_part_asks_for_the_rest",
          "parts_covering_everything_make_a_complete_entry",
          "stale_part_is_replaced_by_a_new_one"]),
    Must("3.3", "MUST NOT send a partial response without marking it 206",
         ["range_part_is_stored_and_reused", "fresh_200_answers_a_range",
          "full_get_over_a_part_asks_for_the_rest"]),
    Must("3.4", "combining partial content MUST update the stored fields from the new "
         "response", ["combined_part_updates_the_stored_fields"]),
    Must("4", "MUST NOT reuse a stored response for another target URI",
         ["query_is_part_of_the_key"]),
    Must("4", "MUST NOT reuse a stored response for a method it does not serve",
         ["head_goes_to_origin_and_is_not_stored"]),
    Must("4", "MUST NOT reuse a response with no-cache unless validated",
         ["no_cache_always_revalidates"]),
    Must("4", "MUST NOT reuse a response unless fresh, allowed to be served stale, or "
         "validated",
         ["max_age_zero_with_etag", "stale_by_old_date", "stale_by_age_header",
          "expires_in_past", "heuristic_stale"]),
    Must("4", "a response used without validation MUST carry Age equal to its current age, "
         "replacing any Age",
         ["age_shown_on_hit", "age_replaces_stored_age", "swr_serves_the_stale_entry_at_once",
          "sie_serves_stale_when_the_connection_drops"]),
    Must("4", "MUST write requests with unsafe methods through to the origin", _INVALIDATES),
    Must("4", "with several suitable stored responses, MUST use the most recent",
         ["vary_one_entry_per_url"]),
    Must("4.1", "MUST NOT use a response with Vary without revalidation unless the nominated "
         "request fields match",
         ["vary_same_value", "vary_other_value", "vary_header_now_present",
          "vary_header_now_absent", "vary_star_never_matches", "vary_several_fields"]),
    Must("4.2", "MUST NOT let the local time zone influence ages or expiry times",
         ["expires_ahead_in_a_zone_east_of_utc", "expires_past_in_a_zone_west_of_utc"]),
    Must("4.2.2", "MUST NOT use heuristic freshness when an explicit expiration time is "
         "present", ["explicit_expiry_beats_heuristic"]),
    Must("4.2.3", "MUST count the corrected Age value from the time the request was sent",
         ["age_counts_from_the_request"]),
    Must("4.2.4", "MUST NOT generate a stale response that no-cache or must-revalidate "
         "forbids",
         ["must_revalidate_beats_max_stale", "swr_stopped_by_must_revalidate",
          "swr_stopped_by_no_cache", "sie_stopped_by_must_revalidate",
          "sie_stopped_by_no_cache", "immutable_stale_revalidates"]),
    Must("4.2.4", "MUST NOT generate a stale response unless disconnected or allowed by the "
         "client or the origin",
         ["max_age_zero_without_validator", "age_and_date_larger_wins",
          "expires_before_date_is_stale", "expires_rfc850_format", "negative_max_age_is_stale",
          "s_maxage_ignored_by_private_cache", "duplicate_max_age_across_lines_first_wins",
          "no_heuristic_without_last_modified", "request_max_stale_too_small",
          "swr_beyond_its_window_revalidates", "sie_beyond_its_window_delivers_the_error",
          "error_without_sie_is_delivered", "dropped_connection_without_sie_fails"]),
    Must("4.3.1", "a validation request MUST send the stored response's entity tag",
         ["etag_sent_as_if_none_match", "weak_etag_sent_as_is",
          "range_past_a_stored_part_asks_for_the_missing_span"]),
    Must("4.3.2", "MUST NOT evaluate conditions meant for the origin, in requests it cannot "
         "satisfy, or for targets with nothing stored",
         ["callers_own_condition_goes_to_origin", "callers_if_match_reaches_the_origin",
          "callers_condition_without_a_stored_response"]),
    Must("4.3.2", "MUST NOT add a partial stored response's entity tag to a forwarded "
         "If-None-Match", ["callers_if_none_match_left_alone_over_a_part"]),
    Must("4.3.3", "MUST use a full response to a validation request to satisfy the request",
         ["revalidated_by_200_replaces", "revalidated_by_404_replaces",
          "revalidated_by_uncacheable_answer_is_delivered"]),
    Must("4.3.4", "MUST NOT update a stored response from a 304 whose strong validator it "
         "does not have", ["304_with_another_strong_etag_updates_nothing"]),
    Must("4.3.4", "MUST update each selected stored response with the 304's fields",
         ["304_updates_headers_and_freshness", "304_weak_etag_updates_strong_etag",
          "304_weak_etag_updates_weak_etag", "304_weak_etag_updates_a_vary_entry",
          "304_without_validator_updates_the_entry"]),
    Must("4.3.5", "an update from a HEAD response MUST use its fields",
         ["head_freshens_stored_response"]),
    Must("4.4", "MUST invalidate the target URI after a non-error answer to an unsafe "
         "method, unknown methods included", _INVALIDATES + ["post_redirect_invalidates"]),
    Must("4.4", "MUST NOT invalidate a Location or Content-Location of another origin",
         ["post_leaves_other_origin_location"]),
    Must("5.2.1.5", "request no-store: MUST NOT store any part of the request or its response",
         ["request_no_store_is_not_stored"]),
    Must("5.2.2", "MUST obey the response directives of this section (each is checked by the "
         "rows of its own subsection)",
         ["max_age_zero_with_etag", "must_revalidate_stale_revalidates",
          "no_cache_always_revalidates", "no_store_response", "private_stored_by_private_cache",
          "public_without_lifetime_revalidates", "s_maxage_ignored_by_private_cache"]),
    Must("5.2.2.2", "must-revalidate: once stale, MUST NOT be reused without a successful "
         "validation",
         ["must_revalidate_stale_revalidates", "must_revalidate_beats_max_stale",
          "must_revalidate_stops_both_stale_windows", "swr_stopped_by_must_revalidate",
          "sie_stopped_by_must_revalidate"]),
    Must("5.2.2.2", "MUST NOT ignore must-revalidate; disconnected, MUST give an error "
         "rather than the stale response", ["must_revalidate_when_disconnected_fails"]),
    Must("5.2.2.4", "no-cache: MUST NOT satisfy another request without a successful "
         "validation",
         ["no_cache_always_revalidates", "swr_stopped_by_no_cache", "sie_stopped_by_no_cache",
          "no_cache_field_names_left_out_of_a_hit"]),
    Must("5.2.2.5", "no-store: MUST NOT store any part of the request or response (nor keep "
         "it on disk), MUST NOT use it for another request",
         ["no_store_response", "no_store_on_second_line", "301_no_store_not_stored"]),
    Must("5.2.3", "MUST ignore unrecognised cache directives",
         ["unknown_directives_are_ignored"]),
    Must("5.3", "MUST read an invalid Expires, especially 0, as a time in the past",
         ["expires_invalid_is_expired", "expires_zero_is_expired"]),
    Must("5.3", "with max-age, MUST ignore Expires",
         ["max_age_beats_past_expires", "max_age_zero_beats_future_expires",
          "invalid_max_age_is_stale"]),
]


def test_every_must_names_its_cases():
    cases = {c.name: c for c in CASES}
    for must in MUSTS:
        assert must.cases, must.section
        missing = [name for name in must.cases if name not in cases]
        assert not missing, f"{must.section} {must.rule!r}: no case {missing}"
    # and every case that cites a section is listed under it
    listed = {(m.section, name) for m in MUSTS for name in m.cases}
    unlisted = [c.name for c in CASES if c.rfc and (c.rfc, c.name) not in listed]
    assert not unlisted, f"cases citing a section no MUST of it lists: {unlisted}"


# ---- running a case ----------------------------------------------------------------

@pytest.fixture(scope="module")
def disk_namespace(tmp_path_factory):
    """One profile namespace for the disk runs; the cases' paths keep them apart."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_STATE_HOME", str(tmp_path_factory.mktemp("state")))
        yield f"conformance-{uuid.uuid4().hex[:12]}"


def _resolve(resp: Resp, base: str, port: int) -> Resp:
    def value(v):
        v = v() if callable(v) else v
        return v.replace("{base}", base).replace("{port}", str(port))

    headers = [(n, value(v)) for n, v in resp.headers]
    return dataclasses.replace(resp, headers=headers)


def test_there_are_enough_cases():
    assert len(CASES) >= 60
    assert len({c.name for c in CASES}) == len(CASES)


@contextlib.contextmanager
def _zone(tz: str | None):
    """The process's time zone set to `tz` (the Core reads the same one)."""
    if tz is None:
        yield
        return
    saved = os.environ.get("TZ")
    os.environ["TZ"] = tz
    time.tzset()
    try:
        yield
    finally:
        if saved is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = saved
        time.tzset()


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
@pytest.mark.parametrize("store", ["memory", "disk"])
def test_conformance(native, origin, disk_namespace, store: str, case: Case):
    with _zone(case.tz):
        _run(native, origin, disk_namespace, store, case)


def _run(native, origin, disk_namespace, store: str, case: Case):
    engine = native.PyEngine(profile_namespace=disk_namespace if store == "disk" else None)
    base = origin.new_path(case.name)
    routes = case.routes if isinstance(case.routes, dict) else {"": case.routes}
    for key, responses in routes.items():
        origin.script(base + key, *(_resolve(r, base, origin.port) for r in responses))

    for number, step in enumerate(case.steps, 1):
        where = f"request {number} ({step.method} {step.route or '/'})"
        before = {key: origin.count(base + key) for key in routes}
        body = b"data" if step.method in ("POST", "PUT", "PATCH") else None
        result = fetch(engine, origin.url(base + step.route), step.method, step.headers,
                       step.cache, body=body, timeout=step.timeout)
        expect = step.expect if isinstance(step.expect, dict) else {step.route: step.expect}
        got = {key: classify(origin.requests(base + key)[before[key]:]) for key in expect}
        for key, value in expect.items():
            if value == STALE_HIT and got[key] in ("hit", "revalidate"):
                got[key] = STALE_HIT  # the body tells whether the origin answered it
        assert got == expect, f"{where}: origin saw {got}, expected {expect}"

        if step.error is not None:
            assert result.error == step.error, f"{where}: delivered {result.status}"
            continue
        assert result.error is None, f"{where}: {result.error}"
        if step.status is not None:
            assert result.status == step.status, where
        if step.body is not None:
            assert result.body == step.body, where
        if step.sent is not None:
            seen = origin.requests(base + step.route)[-1]
            for name, value in step.sent.items():
                assert seen.header(name) == value, f"{where}: the origin saw {name}"
        for name, value in (step.shows or {}).items():
            assert result.header(name) == [value], f"{where}: delivered {name}"
        for name in step.hides or ():
            assert result.header(name) == [], f"{where}: delivered {name}"
        if step.min_age is not None:
            [age] = result.header("Age")
            assert int(age) >= step.min_age, where
        if step.redirects is not None:
            assert len(result.redirects) == step.redirects, where
