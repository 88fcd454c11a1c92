"""The HTTP cache against RFC 9111, case by case.

Each case scripts an origin's responses, makes a sequence of requests with a
fresh engine (once with the cache in memory, once with a profile namespace's
cache on disk) and checks, for every request, whether the origin saw nothing
("hit"), an unconditional request ("miss") or a conditional one
("revalidate"), and what the caller received. Staleness is made with old
Date, Age and Expires values, never by waiting."""

from __future__ import annotations

import dataclasses
import time
import uuid
from dataclasses import dataclass, field
from typing import Callable

import pytest

from cache_server import Resp, classify, fetch, http_date

CACHE_MISS = "CacheMiss (Chromium net error -400)"
DAY = 86400


def ago(seconds: int) -> Callable[[], str]:
    return lambda: http_date(-seconds)


def ahead(seconds: int) -> Callable[[], str]:
    return lambda: http_date(seconds)


def _asctime(offset: int) -> str:
    return time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(time.time() + offset))


def R(*fields, status: int = 200, body: bytes | None = None, date: bool = True) -> Resp:
    """A response: fields as "Name: value" texts or (name, value) pairs whose
    value may be a callable, evaluated when the case starts."""
    headers = []
    for f in fields:
        if isinstance(f, str):
            name, _, value = f.partition(":")
            headers.append((name.strip(), value.strip()))
        else:
            headers.append(f)
    return Resp(status, headers, body, date=date)


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
    min_age: int | None = None
    redirects: int | None = None
    error: str | None = None


@dataclass
class Case:
    name: str
    routes: list[Resp] | dict[str, list[Resp]]
    steps: list[S]


FIRST = b"response 1"
SECOND = b"response 2"
ETAG = 'ETag: "v1"'
LONG = "Cache-Control: max-age=3600"


CASES: list[Case] = []


def case(name: str, routes, *steps: S):
    CASES.append(Case(name, routes, list(steps)))


# ---- freshness: max-age, Expires, Date, Age (RFC 9111 4.2.1) --------------------------

case("max_age_fresh", [R(LONG)], S("miss", body=FIRST), S("hit", status=200, body=FIRST))
case("max_age_zero_with_etag", [R("Cache-Control: max-age=0", ETAG)],
     S("miss"), S("revalidate"))
case("max_age_zero_without_validator", [R("Cache-Control: max-age=0")],
     S("miss"), S("miss", body=SECOND))
case("stale_by_old_date", [R(LONG, ETAG, ("Date", ago(7200)))], S("miss"), S("revalidate"))
case("fresh_despite_old_date", [R(LONG, ("Date", ago(100)))], S("miss"), S("hit"))
case("stale_by_age_header", [R(LONG, ETAG, "Age: 7200")], S("miss"), S("revalidate"))
case("fresh_with_small_age", [R(LONG, "Age: 10")], S("miss"), S("hit"))
case("age_and_date_larger_wins", [R("Cache-Control: max-age=1000", ETAG, "Age: 10",
                                    ("Date", ago(2000)))], S("miss"), S("revalidate"))
case("expires_in_future", [R(("Expires", ahead(3600)))], S("miss"), S("hit"))
case("expires_in_past", [R(ETAG, ("Expires", ago(3600)))], S("miss"), S("revalidate"))
case("expires_invalid_is_expired", [R(ETAG, "Expires: soon")], S("miss"), S("revalidate"))
case("expires_zero_is_expired", [R("Last-Modified: Mon, 01 Jan 2001 00:00:00 GMT",
                                   "Expires: 0")],
     S("miss"), S("revalidate", sent={"If-Modified-Since": "Mon, 01 Jan 2001 00:00:00 GMT"}))
case("expires_measured_from_date", [R(("Date", ago(3600)), ("Expires", ahead(3600)))],
     S("miss"), S("hit"))
case("expires_before_date_is_stale", [R(ETAG, ("Date", ago(100)), ("Expires", ago(200)))],
     S("miss"), S("revalidate"))
case("expires_rfc850_format", [R("Expires: Sunday, 06-Nov-94 08:49:37 GMT", ETAG)],
     S("miss"), S("revalidate"))
case("expires_asctime_format_in_future", [R(("Expires", lambda: _asctime(3600)))],
     S("miss"), S("hit"))
case("max_age_beats_past_expires", [R(LONG, ("Expires", ago(3600)))], S("miss"), S("hit"))
case("max_age_zero_beats_future_expires",
     [R("Cache-Control: max-age=0", ETAG, ("Expires", ahead(3600)))], S("miss"), S("revalidate"))
case("invalid_max_age_is_stale", [R("Cache-Control: max-age=soon", ETAG,
                                    ("Expires", ahead(3600)))], S("miss"), S("revalidate"))
case("negative_max_age_is_stale", [R("Cache-Control: max-age=-5", ETAG)],
     S("miss"), S("revalidate"))
case("s_maxage_ignored_by_private_cache", [R("Cache-Control: s-maxage=3600", ETAG)],
     S("miss"), S("revalidate"))
case("s_maxage_zero_ignored", [R("Cache-Control: max-age=3600, s-maxage=0")],
     S("miss"), S("hit"))
case("duplicate_max_age_first_wins", [R("Cache-Control: max-age=3600, max-age=0", ETAG)],
     S("miss"), S("hit"))
case("duplicate_max_age_across_lines_first_wins",
     [R("Cache-Control: max-age=0", "Cache-Control: max-age=3600", ETAG)],
     S("miss"), S("revalidate"))
case("directives_on_several_lines", [R("Cache-Control: public", LONG)], S("miss"), S("hit"))
case("no_store_on_second_line", [R(LONG, "Cache-Control: no-store")], S("miss"), S("miss"))
case("quoted_max_age", [R('Cache-Control: max-age="3600"')], S("miss"), S("hit"))
case("comma_inside_quoted_string", [R('Cache-Control: private="x, no-store", max-age=3600')],
     S("miss"), S("hit"))
case("directive_names_without_case", [R("Cache-Control: MAX-AGE=3600")], S("miss"), S("hit"))

# ---- Age on delivery (RFC 9111 5.1) ------------------------------------------------

case("age_shown_on_hit", [R(LONG, ("Date", ago(100)))],
     S("miss"), S("hit", min_age=100))
case("age_replaces_stored_age", [R(LONG, "Age: 50")], S("miss"), S("hit", min_age=50))

# ---- heuristic freshness (RFC 9111 4.2.2) ------------------------------------------

case("heuristic_fresh", [R(("Last-Modified", ago(10 * DAY)))], S("miss"), S("hit"))
case("heuristic_stale", [R(("Last-Modified", ago(1000)), ("Date", ago(200)))],
     S("miss"), S("revalidate"))
case("heuristic_for_404", [R(("Last-Modified", ago(10 * DAY)), status=404)],
     S("miss", status=404), S("hit", status=404))
case("no_heuristic_without_last_modified", [R(ETAG)], S("miss"), S("revalidate"))
case("explicit_expiry_beats_heuristic", [R(("Last-Modified", ago(10 * DAY)),
                                           ("Expires", ago(1)))],
     S("miss"), S("revalidate"))

# ---- cacheable status codes (RFC 9111 3, RFC 9110 15.1) ----------------------------

for _status in (200, 203, 204, 300, 404, 405, 410, 414, 501):
    case(f"heuristically_cacheable_{_status}", [R(("Last-Modified", ago(10 * DAY)),
                                                  status=_status)],
         S("miss", status=_status), S("hit", status=_status))
case("500_not_stored_by_default", [R(("Last-Modified", ago(10 * DAY)), status=500)],
     S("miss"), S("miss"))
case("500_stored_with_max_age", [R(LONG, status=500)], S("miss"), S("hit", status=500))
case("201_stored_with_expires", [R(("Expires", ahead(3600)), status=201)],
     S("miss"), S("hit", status=201))
case("206_never_stored", [R(LONG, "Content-Range: bytes 0-9/100", status=206)],
     S("miss"), S("miss"))

# ---- response directives (RFC 9111 5.2.2) ------------------------------------------

case("no_store_response", [R("Cache-Control: no-store, max-age=3600")], S("miss"), S("miss"))
case("private_stored_by_private_cache", [R("Cache-Control: private, max-age=3600")],
     S("miss"), S("hit"))
case("public_without_lifetime_revalidates", [R("Cache-Control: public", ETAG)],
     S("miss"), S("revalidate"))
case("no_cache_always_revalidates", [R("Cache-Control: no-cache, max-age=3600", ETAG),
                                     R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("revalidate", body=FIRST))
case("no_cache_with_field_names_revalidates",
     [R('Cache-Control: no-cache="Set-Cookie", max-age=3600', ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST))
case("must_revalidate_fresh_is_used", [R("Cache-Control: max-age=3600, must-revalidate")],
     S("miss"), S("hit"))
case("must_revalidate_stale_revalidates",
     [R("Cache-Control: max-age=0, must-revalidate", ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST))
case("must_revalidate_beats_max_stale",
     [R("Cache-Control: max-age=0, must-revalidate", ETAG), R(ETAG, status=304)],
     S("miss"), S("revalidate", headers=[("Cache-Control", "max-stale")]))
case("proxy_revalidate_is_for_shared_caches",
     [R("Cache-Control: max-age=0, proxy-revalidate", ETAG)],
     S("miss"), S("revalidate"), S("hit", headers=[("Cache-Control", "max-stale")]))
case("immutable_fresh_is_used", [R("Cache-Control: max-age=3600, immutable")],
     S("miss"), S("hit"))

# ---- validation (RFC 9111 4.3) -----------------------------------------------------

case("etag_sent_as_if_none_match", [R("Cache-Control: max-age=0", ETAG), R(ETAG, status=304)],
     S("miss"),
     S("revalidate", status=200, body=FIRST,
       sent={"If-None-Match": '"v1"', "If-Modified-Since": None}))
case("weak_etag_sent_as_is", [R("Cache-Control: max-age=0", 'ETag: W/"w1"'),
                              R('ETag: W/"w1"', status=304)],
     S("miss"), S("revalidate", body=FIRST, sent={"If-None-Match": 'W/"w1"'}))
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
     S("miss"), S("revalidate", status=200, body=SECOND), S("hit", body=SECOND))
case("304_updates_headers_and_freshness",
     [R("Cache-Control: max-age=0", ETAG, "X-Version: 1", "Content-Type: text/plain"),
      R(ETAG, LONG, "X-Version: 2", status=304)],
     S("miss"),
     S("revalidate", status=200, body=FIRST,
       shows={"X-Version": "2", "Cache-Control": "max-age=3600", "Content-Type": "text/plain"}),
     S("hit", body=FIRST, shows={"X-Version": "2"}))
case("304_keeps_stored_content_length",
     [R("Cache-Control: max-age=0", ETAG), R(ETAG, "Content-Length: 0", status=304)],
     S("miss"), S("revalidate", body=FIRST, shows={"Content-Length": str(len(FIRST))}))
case("304_without_freshness_stays_stale", [R("Cache-Control: max-age=0", ETAG),
                                           R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("revalidate", body=FIRST))
case("revalidated_by_404_replaces", [R("Cache-Control: max-age=0", ETAG),
                                     R(LONG, status=404, body=b"gone")],
     S("miss"), S("revalidate", status=404, body=b"gone"), S("hit", status=404, body=b"gone"))
case("revalidated_by_uncacheable_answer_is_delivered",
     [R("Cache-Control: max-age=0", ETAG), R("Cache-Control: no-store", body=b"new")],
     S("miss"), S("revalidate", status=200, body=b"new"))
case("304_without_age_renews_age", [R(LONG, ETAG, "Age: 7200"), R(ETAG, status=304)],
     S("miss"), S("revalidate", body=FIRST), S("hit", body=FIRST))
case("304_without_date_renews_date", [R(LONG, ETAG, ("Date", ago(7200))),
                                      R(ETAG, status=304, date=False)],
     S("miss"), S("revalidate", body=FIRST), S("hit", body=FIRST))
case("304_etag_is_the_next_validator", [R("Cache-Control: max-age=0", ETAG),
                                        R('ETag: "v2"', status=304)],
     S("miss"), S("revalidate", body=FIRST, sent={"If-None-Match": '"v1"'}),
     S("revalidate", body=FIRST, sent={"If-None-Match": '"v2"'}))
case("callers_range_request_goes_to_origin",
     [R(LONG), R("Content-Range: bytes 0-3/10", status=206, body=b"resp")],
     S("miss"), S("miss", headers=[("Range", "bytes=0-3")], status=206, body=b"resp"),
     S("hit", body=FIRST))
case("callers_own_condition_goes_to_origin", [R(LONG, ETAG), R(ETAG, status=304)],
     S("miss"),
     S("revalidate", headers=[("If-None-Match", '"v1"')], status=304, body=b""),
     S("hit", body=FIRST))

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
     S("miss"), S("revalidate", headers=[("Cache-Control", "max-stale=60")]))
case("request_no_store_is_not_stored", [R(LONG)],
     S("miss", headers=[("Cache-Control", "no-store")]), S("miss"), S("hit"))
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
     S("miss", headers=[("Accept", "a/b")]), S("hit", headers=[("Accept", "a/b")]))
case("vary_other_value", [R(LONG, "Vary: Accept")],
     S("miss", headers=[("Accept", "a/b")]), S("miss", headers=[("Accept", "c/d")]))
case("vary_header_now_present", [R(LONG, "Vary: X-Mode")],
     S("miss"), S("miss", headers=[("X-Mode", "1")]))
case("vary_header_now_absent", [R(LONG, "Vary: X-Mode")],
     S("miss", headers=[("X-Mode", "1")]), S("miss"))
case("vary_names_without_case", [R(LONG, "Vary: x-mode")],
     S("miss", headers=[("X-Mode", "1")]), S("hit", headers=[("x-mode", "1")]))
case("vary_on_a_field_the_client_adds", [R(LONG, "Vary: Accept-Encoding, User-Agent")],
     S("miss"), S("hit"))
case("vary_star_never_matches", [R(LONG, "Vary: *")], S("miss"), S("miss"))
case("vary_several_fields", [R(LONG, "Vary: X-A", "Vary: X-B")],
     S("miss", headers=[("X-A", "1"), ("X-B", "2")]),
     S("hit", headers=[("X-B", "2"), ("X-A", "1")]),
     S("miss", headers=[("X-A", "1"), ("X-B", "3")]))
case("vary_one_entry_per_url", [R(LONG, "Vary: Accept")],
     S("miss", headers=[("Accept", "a/b")]), S("miss", headers=[("Accept", "c/d")]),
     S("miss", headers=[("Accept", "a/b")]), S("hit", headers=[("Accept", "a/b")]))

# ---- invalidation (RFC 9111 4.4) ---------------------------------------------------

for _method in ("POST", "PUT", "PATCH", "DELETE"):
    case(f"{_method.lower()}_invalidates", [R(LONG), R(status=200), R(LONG)],
         S("miss"), S("hit"), S("miss", method=_method), S("miss", body=b"response 3"))
case("post_response_not_stored", [R(LONG)],
     S("miss", method="POST"), S("miss"), S("hit"))
case("query_is_part_of_the_key", {"?a=1": [R(LONG)], "?a=2": [R(LONG)]},
     S("miss", route="?a=1"), S("miss", route="?a=2"), S("hit", route="?a=1"))
case("post_error_keeps_entry", [R(LONG), R(status=500)],
     S("miss"), S("miss", method="POST", status=500), S("hit", body=FIRST))
case("post_redirect_invalidates", {"": [R(LONG), R("Location: {base}/t", status=303)],
                                   "/t": [R()]},
     S("miss"), S({"": "miss", "/t": "miss"}, method="POST"), S("miss"))
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
     S("miss", route="/other"), S("miss", method="POST"), S("hit", route="/other"))
case("get_does_not_invalidate", {"": [R(LONG)], "/other": [R("Location: {base}")]},
     S("miss"), S("miss", route="/other"), S("hit"))

# ---- HEAD (RFC 9111 4.3.5) ---------------------------------------------------------

case("head_goes_to_origin_and_is_not_stored", [R(LONG)],
     S("miss", method="HEAD", body=b""), S("miss", body=SECOND))
case("head_freshens_stored_response",
     [R("Cache-Control: max-age=0", ETAG, "X-Version: 1"), R(ETAG, LONG, "X-Version: 2")],
     S("miss"), S("miss", method="HEAD"), S("hit", body=FIRST, shows={"X-Version": "2"}))
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
         S({"": "miss", "/t": "miss"}, redirects=1), S({"": "miss", "/t": "hit"}, redirects=1))
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
     S({"": "miss", "/t": "miss"}), S({"": "miss", "/t": "hit"}))
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


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
@pytest.mark.parametrize("store", ["memory", "disk"])
def test_conformance(native, origin, disk_namespace, store: str, case: Case):
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
                       step.cache, body=body)
        expect = step.expect if isinstance(step.expect, dict) else {step.route: step.expect}
        got = {key: classify(origin.requests(base + key)[before[key]:]) for key in expect}
        assert got == expect, f"{where}: origin saw {got}, expected {expect}"

        if step.error is not None:
            assert result.error == step.error, where
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
        if step.min_age is not None:
            [age] = result.header("Age")
            assert int(age) >= step.min_age, where
        if step.redirects is not None:
            assert len(result.redirects) == step.redirects, where
