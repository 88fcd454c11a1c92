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
#include <utility>
#include <vector>

#include "base/settings.h"

namespace hvcore::cache {

// Wall-clock seconds since the epoch.
using Seconds = int64_t;

// Cache-Control directives, of a request or a response. Every line of the
// field counts; unknown directives are ignored, and so is a member whose name
// is followed by whitespace before its `=` (`max-age = 5` is not a max-age,
// as browsers read it); a directive given twice keeps its first value.
// `Pragma: no-cache` counts as `no-cache` on a request without Cache-Control.
struct Directives {
  bool no_store = false;
  bool no_cache = false;  // unqualified: every use needs a revalidation
  bool must_revalidate = false;
  bool proxy_revalidate = false;
  bool is_public = false;
  bool is_private = false;
  bool only_if_cached = false;
  bool immutable = false;
  bool must_understand = false;
  bool max_stale_any = false;  // max-stale without a value
  std::optional<Seconds> max_age;
  std::optional<Seconds> s_maxage;
  std::optional<Seconds> max_stale;
  std::optional<Seconds> min_fresh;
  // RFC 5861 windows: how long past its lifetime a stale response may still
  // be delivered while it is revalidated, or when the origin fails.
  std::optional<Seconds> stale_while_revalidate;
  std::optional<Seconds> stale_if_error;
  // The qualified forms, names in lower case: `no-cache="a, b"` lets the
  // response be used without revalidation but never these fields of it;
  // `private="a"` keeps these fields out of the store.
  std::vector<std::string> no_cache_fields;
  std::vector<std::string> private_fields;
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
  // A partial entry (status 206): the byte ranges [first, end) it holds of
  // a representation of `length` bytes, in order, apart, and its body is
  // them one after another. Empty for a complete response.
  std::vector<std::pair<uint64_t, uint64_t>> parts;
  uint64_t length = 0;
};

// Ranges kept in a column as text: "length:first-end,first-end"; empty for a
// complete response. Nothing when the text does not read as such.
std::string parts_text(const StoredMeta &meta);
bool read_parts(std::string_view text, StoredMeta &meta);

// True when a final response to `method` may be stored: GET only, a status
// cacheable by default (200 203 204 300 301 308 404 405 410 414 501) or one
// with explicit freshness or leave (max-age, s-maxage is ignored by a private
// cache, Expires, public, private), no no-store on either side, no `Vary: *`,
// not 206 (part_is_storable). With must-understand, only a status whose
// caching rules the cache implements (those by default, and the temporary
// redirects); its no-store still counts, as browsers read it.
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

// The entry's current age at `now`. An Age field counts by its first list
// member; one that is not a number is ignored.
Seconds current_age(const StoredMeta &entry, Seconds now);

// What a request does with a stored entry that matched (Vary included).
enum class Action {
  Use,          // deliver the stored response
  UseAndRenew,  // deliver the stale stored response, and revalidate it in the background
  Revalidate,   // ask the origin with the entry's validators
  Network,      // go to the network as if nothing were stored
};
// Fresh entries are used; `immutable` ones even when the Validate mode or a
// request's max-age asks for a revalidation (a reload), never when its
// no-cache does. A stale entry within its stale-while-revalidate window is
// used and renewed in the background, in the Default mode, when neither the
// response (must-revalidate, proxy-revalidate, no-cache) nor the request
// (no-cache, max-age, min-fresh) asks for a revalidation.
Action decide(CacheMode mode, const StoredMeta &entry,
              const std::vector<HeaderField> &request_headers, Seconds now);

// True when a stale stored entry may answer a request, in the Default mode,
// whose exchange with the origin failed (no head, or 500, 502, 503, 504):
// its staleness is within the response's or the request's stale-if-error
// window, and the response says none of must-revalidate, proxy-revalidate
// and no-cache.
bool serves_stale_on_error(CacheMode mode, const StoredMeta &entry,
                           const std::vector<HeaderField> &request_headers, Seconds now);
bool is_error_for_stale(int status);

// The head a stored response is delivered with when it was not revalidated:
// without the fields its no-cache names.
std::string unvalidated_head(std::string_view head);
// The head as stored: without the fields its private directive names, and
// without Proxy-Authenticate and Proxy-Authentication-Info, which belong to
// the proxy the response came through, not to the URL (RFC 9111 3.1).
std::string head_to_store(std::string_view head);

// True when a 304 may update the stored response it answers (RFC 9111
// 4.3.4): its strong ETag, if it has one, is the stored one; a weak one
// matches the stored one weakly (RFC 9110 8.8.3.2); without an ETag it
// answers the validators that were sent, which came from this response.
bool update_selects(std::string_view stored, std::string_view update);

// The entity-tag of a head's ETag when it is strong; nothing otherwise.
std::optional<std::string> strong_etag(std::string_view head);

// True when the request carries its own conditional fields, or a Range the
// cache does not serve (another unit, several ranges, a malformed one): the
// answer (a 304, 412 or 206) is the caller's, so the cache neither answers
// nor stores it. A single byte range is the cache's to answer (byte_range).
bool bypasses_cache(const std::vector<HeaderField> &request_headers);

// A single range of bytes a request asks for: `first-last`, `first-`, or the
// suffix `-length` (suffix set, first unused). Nothing without a Range field
// or for one the cache does not serve.
struct ByteRange {
  uint64_t first = 0;
  std::optional<uint64_t> last;  // none: to the end
  std::optional<uint64_t> suffix;
};
std::optional<ByteRange> byte_range(const std::vector<HeaderField> &request_headers);
// The range's bytes within a representation of `length` bytes, as
// [first, end); nothing when it is not satisfiable.
std::optional<std::pair<uint64_t, uint64_t>> resolve_range(const ByteRange &range, uint64_t length);

// A 206's `Content-Range: bytes first-last/length` with a known length.
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t length = 0;
};
std::optional<ContentRange> content_range(std::string_view head);

// The head of a stored response delivered whole (200, no Content-Range,
// Content-Length `length`) or as the part [first, end) of `length` bytes
// (206 with its Content-Range and Content-Length).
std::string whole_head(std::string_view head, uint64_t length);
std::string part_head(std::string_view head, uint64_t first, uint64_t end, uint64_t length);

// True when a 206 answering a GET that asked for a byte range may be
// stored as part of its representation: a strong ETag, a Content-Range of
// known length, no content coding, and storable as its 200 would be.
bool part_is_storable(const std::vector<HeaderField> &request_headers, std::string_view head);
// The response's side of that: what any 206 must be to be stored, whoever
// asked for it (the cache itself, for a missing part).
bool part_head_is_storable(std::string_view head);

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
// does not parse. Day and month names and GMT are read without case, as
// every browser reads them.
std::optional<Seconds> parse_http_date(std::string_view text);

}  // namespace hvcore::cache
