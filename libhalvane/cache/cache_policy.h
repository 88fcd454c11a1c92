// What a private HTTP cache may store, how long a stored response stays
// fresh, and what a request does with a stored response (RFC 9111). Pure
// functions over header blocks and times: no storage, no I/O.
//
// Header blocks are raw response heads as HeadBuilder makes them: a status
// line, fields, each line ending in CRLF, and the empty line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

namespace hvcore::cache {

// Wall-clock seconds since the epoch.
using Seconds = int64_t;

// Cache-Control directives, of a request or a response. Every line of the
// field counts; unknown directives are ignored; a directive given twice
// keeps its first value. `Pragma: no-cache` counts as `no-cache` on a
// request without Cache-Control.
struct Directives {
  bool no_store = false;
  bool no_cache = false;  // a response's no-cache with field names counts as no-cache
  bool must_revalidate = false;
  bool proxy_revalidate = false;
  bool is_public = false;
  bool is_private = false;
  bool only_if_cached = false;
  bool immutable = false;
  bool max_stale_any = false;  // max-stale without a value
  std::optional<Seconds> max_age;
  std::optional<Seconds> s_maxage;
  std::optional<Seconds> max_stale;
  std::optional<Seconds> min_fresh;
};

Directives response_directives(std::string_view head);
Directives request_directives(const std::vector<HeaderField> &headers);

// A stored response's head and the facts freshness is computed from.
struct StoredMeta {
  int status = 0;
  std::string head;           // as received (after any 304 update)
  Seconds request_time = 0;   // when the request that fetched it was sent
  Seconds response_time = 0;  // when its head arrived
  // The request headers the response's Vary names, names in lower case,
  // each value as a SHA-256 digest of its list members in hex (vary_headers); a
  // header the request lacked is absent.
  std::vector<HeaderField> vary;
};

// True when a final response to `method` may be stored: GET only, a status
// cacheable by default (200 203 204 300 301 308 404 405 410 414 501) or one
// with explicit freshness (max-age, s-maxage is ignored by a private cache,
// Expires, public), no no-store on either side, no `Vary: *`, not 206.
bool is_storable(std::string_view method, const std::vector<HeaderField> &request_headers,
                 std::string_view head);

// The request headers named by the response's Vary, to keep with the entry:
// their values as digests, so that a stored entry never holds a credential or
// cookie the request carried.
std::vector<HeaderField> vary_headers(std::string_view head,
                                      const std::vector<HeaderField> &request_headers);

// True when the stored entry's Vary headers match this request's: the same
// list members in the same order (whitespace around commas aside).
bool vary_matches(const StoredMeta &entry, const std::vector<HeaderField> &request_headers);

// Freshness lifetime: max-age, else Expires minus Date (an invalid Expires is
// already expired), else heuristic 10% of Date minus Last-Modified for
// statuses cacheable by default, else 0.
Seconds freshness_lifetime(std::string_view head, Seconds response_time);

// The entry's current age at `now`.
Seconds current_age(const StoredMeta &entry, Seconds now);

// What a request does with a stored entry that matched (Vary included).
enum class Action {
  Use,         // deliver the stored response
  Revalidate,  // ask the origin with the entry's validators
  Network,     // go to the network as if nothing were stored
};
Action decide(CacheMode mode, const StoredMeta &entry,
              const std::vector<HeaderField> &request_headers, Seconds now);

// True when the request carries its own conditional or Range fields: the
// answer (a 304, 412 or 206) is the caller's, so the cache neither answers
// nor stores it.
bool bypasses_cache(const std::vector<HeaderField> &request_headers);

// True when a 304 or a HEAD response to a request with `request_headers` may
// update a stored entry: neither says no-store, for nothing of such an
// exchange is stored.
bool may_update(const std::vector<HeaderField> &request_headers, std::string_view update);

// If-None-Match from ETag and If-Modified-Since from Last-Modified; empty
// when the entry has neither (it can then only be fetched again).
std::vector<HeaderField> validators(std::string_view head);

// The stored head updated by a 304's (or a HEAD response's) fields: each
// field the update carries replaces all stored fields of that name, except
// Content-Length and the framing and coding fields, which stay as stored.
std::string freshen_head(std::string_view stored, std::string_view update);

// True when a HEAD response may update the stored entry (validators agree).
bool head_may_freshen(std::string_view stored, std::string_view head_response);

// The head with its Age fields replaced by one `Age: <age>` field, added last.
std::string with_age(std::string_view head, Seconds age);

// True when a response with `status` to `method` invalidates stored entries:
// unsafe methods (anything but GET, HEAD, OPTIONS, TRACE) with a 2xx or 3xx.
bool invalidates(std::string_view method, int status);

// The cache keys (cache_key in url.h) a successful unsafe request
// invalidates: its URL's, and those of the same-origin targets of Location
// and Content-Location.
std::vector<std::string> invalidated_urls(const std::string &request_url, std::string_view head);

// An HTTP-date (IMF-fixdate, RFC 850 or asctime) in seconds; nothing when it
// does not parse.
std::optional<Seconds> parse_http_date(std::string_view text);

}  // namespace hvcore::cache
