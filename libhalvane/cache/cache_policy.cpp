#include "cache/cache_policy.h"

#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>

#include "base/header_block.h"
#include "base/http_text.h"
#include "base/url.h"

namespace hvcore::cache {
namespace {

// RFC 9111 1.2.2: a delta-seconds too large to represent counts as 2^31.
constexpr Seconds kMaxDelta = Seconds{1} << 31;

// Calls `f` with each field of a head, after the status line.
template <typename F>
void each_head_field(std::string_view head, F f) {
  each_field(head_fields(head), f);
}

std::optional<std::string_view> first_field(std::string_view head, std::string_view name) {
  std::optional<std::string_view> found;
  each_head_field(head, [&](const FieldLine &field) {
    if (!found && iequals(field.name, name)) found = field.value;
  });
  return found;
}

int status_of(std::string_view head) { return parse_status_line(status_line(head)); }

// delta-seconds: one or more digits; nothing for anything else.
std::optional<Seconds> parse_delta(std::string_view text) { return parse_digits(text, kMaxDelta); }

// A directive's argument as a number of seconds. An argument that is missing
// or not a number counts as 0: a response with a malformed max-age is stale,
// and a request's malformed limit asks for the most caution.
Seconds delta_or_zero(std::string_view argument) {
  if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
    argument = argument.substr(1, argument.size() - 2);
  return parse_delta(trim(argument)).value_or(0);
}

void set_once(std::optional<Seconds> &slot, std::string_view argument) {
  if (!slot) slot = delta_or_zero(argument);
}

// The field names of a qualified no-cache or private, in lower case.
std::vector<std::string> field_names(std::string_view argument) {
  if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
    argument = argument.substr(1, argument.size() - 2);
  std::vector<std::string> names;
  each_member(argument, [&](std::string_view m) { names.push_back(lower(m)); });
  return names;
}

void apply_directive(Directives &d, std::string_view member) {
  const size_t eq = member.find('=');
  const std::string_view name = member.substr(0, eq);
  // `max-age = 5` is not max-age: browsers match the name and its `=`
  // together, and a lenient reading would give freshness they do not.
  if (name.empty() || name.back() == ' ' || name.back() == '\t') return;
  const bool has_argument = eq != std::string_view::npos;
  const std::string_view argument = has_argument ? trim(member.substr(eq + 1)) : "";
  if (iequals(name, "no-store")) {
    d.no_store = true;
  } else if (iequals(name, "no-cache")) {
    std::vector<std::string> names;
    if (has_argument) names = field_names(argument);
    // An empty list names nothing to leave out: the whole response waits
    // for a revalidation, as the cautious reading.
    if (names.empty())
      d.no_cache = true;
    else
      for (std::string &n : names) d.no_cache_fields.push_back(std::move(n));
  } else if (iequals(name, "must-revalidate")) {
    d.must_revalidate = true;
  } else if (iequals(name, "proxy-revalidate")) {
    d.proxy_revalidate = true;
  } else if (iequals(name, "public")) {
    d.is_public = true;
  } else if (iequals(name, "private")) {
    d.is_private = true;
    if (has_argument)
      for (std::string &n : field_names(argument)) d.private_fields.push_back(std::move(n));
  } else if (iequals(name, "only-if-cached")) {
    d.only_if_cached = true;
  } else if (iequals(name, "immutable")) {
    d.immutable = true;
  } else if (iequals(name, "must-understand")) {
    d.must_understand = true;
  } else if (iequals(name, "max-age")) {
    set_once(d.max_age, argument);
  } else if (iequals(name, "s-maxage")) {
    set_once(d.s_maxage, argument);
  } else if (iequals(name, "min-fresh")) {
    set_once(d.min_fresh, argument);
  } else if (iequals(name, "stale-while-revalidate")) {
    set_once(d.stale_while_revalidate, argument);
  } else if (iequals(name, "stale-if-error")) {
    set_once(d.stale_if_error, argument);
  } else if (iequals(name, "max-stale")) {
    if (d.max_stale || d.max_stale_any) return;
    if (has_argument)
      d.max_stale = delta_or_zero(argument);
    else
      d.max_stale_any = true;
  }
}

bool cacheable_by_default(int status) {
  switch (status) {
    case 200:
    case 203:
    case 204:
    case 300:
    case 301:
    case 308:
    case 404:
    case 405:
    case 410:
    case 414:
    case 501:
      return true;
    default:
      return false;
  }
}

bool has_vary_star(std::string_view head) {
  bool star = false;
  each_head_field(head, [&](const FieldLine &field) {
    if (iequals(field.name, "vary"))
      each_member(field.value, [&](std::string_view m) { star = star || m == "*"; });
  });
  return star;
}

// The request's values of a field joined as one list; nothing when absent.
std::optional<std::string> combined_value(const std::vector<HeaderField> &headers,
                                          std::string_view name) {
  std::optional<std::string> value;
  for (const auto &h : headers) {
    if (!iequals(h.name, name)) continue;
    if (value)
      *value += ", ";
    else
      value.emplace();
    *value += trim(h.value);
  }
  return value;
}

// What a request field's value is kept as for Vary: a SHA-256 digest, in hex, of its
// list members, each preceded by its length, so that values differing only in
// whitespace around list commas share a digest and any other difference
// tells them apart, while the value itself (a token, a cookie) is never kept.
std::string vary_digest(std::string_view value) {
  std::string members;
  each_member(value, [&](std::string_view m) {
    members += std::to_string(m.size());
    members += ':';
    members += m;
  });
  std::array<uint8_t, SHA256_DIGEST_LENGTH> digest;
  SHA256(reinterpret_cast<const uint8_t *>(members.data()), members.size(), digest.data());
  static constexpr std::string_view kHex = "0123456789abcdef";
  std::string out;
  out.reserve(2 * digest.size());
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
  }
  return out;
}

Seconds date_value(std::string_view head, Seconds fallback) {
  const auto date = first_field(head, "date");
  if (!date) return fallback;
  return parse_http_date(*date).value_or(fallback);
}

bool has_conditional(const std::vector<HeaderField> &headers) {
  static constexpr std::array<std::string_view, 5> kConditionals = {
      "if-none-match", "if-modified-since", "if-match", "if-unmodified-since", "if-range"};
  return std::any_of(headers.begin(), headers.end(), [](const HeaderField &h) {
    return std::any_of(kConditionals.begin(), kConditionals.end(),
                       [&](std::string_view c) { return iequals(h.name, c); });
  });
}

Action revalidate(const StoredMeta &entry) {
  return validators(entry.head).empty() ? Action::Network : Action::Revalidate;
}

// Fields a 304 or a HEAD response never changes in a stored head: the
// stored body's framing and coding, and hop-by-hop fields.
bool kept_as_stored(std::string_view name, std::string_view update) {
  static constexpr std::array<std::string_view, 12> kKept = {
      "content-length", "content-encoding", "content-range",      "transfer-encoding",
      "connection",     "keep-alive",       "proxy-connection",   "te",
      "trailer",        "upgrade",          "proxy-authenticate", "proxy-authentication-info"};
  if (std::any_of(kKept.begin(), kKept.end(), [&](std::string_view k) { return iequals(name, k); }))
    return true;
  bool listed = false;
  each_head_field(update, [&](const FieldLine &field) {
    if (iequals(field.name, "connection"))
      each_member(field.value, [&](std::string_view m) { listed = listed || iequals(m, name); });
  });
  return listed;
}

// The head rewritten: `status` (code and reason; empty: as it was) in its
// status line, without the fields `names` names, and with `extra` (whole
// field lines) last.
template <typename Names>
std::string rewritten_head(std::string_view head, std::string_view status, const Names &names,
                           std::string_view extra) {
  const std::string_view line = status_line(head);
  std::string out;
  out.reserve(head.size() + extra.size() + 2);
  if (status.empty())
    out.append(line);
  else
    out.append(line.substr(0, std::min(line.find(' '), line.size()))).append(" ").append(status);
  out.append("\r\n");
  each_head_field(head, [&](const FieldLine &field) {
    if (std::none_of(std::begin(names), std::end(names),
                     [&](std::string_view n) { return iequals(n, field.name); }))
      out.append(field.line).append("\r\n");
  });
  out.append(extra).append("\r\n");
  return out;
}

std::string without_fields(std::string_view head, const std::vector<std::string> &names) {
  if (names.empty()) return std::string(head);
  return rewritten_head(head, {}, names, {});
}

// The head with another status and its body's framing replaced by
// `Content-Length: length`, then `extra` (whole field lines).
std::string with_status_and_length(std::string_view head, std::string_view status, uint64_t length,
                                   std::string_view extra) {
  static constexpr std::array<std::string_view, 3> kFraming = {"content-length", "content-range",
                                                               "transfer-encoding"};
  const std::string fields =
      "Content-Length: " + std::to_string(length) + "\r\n" + std::string(extra);
  return rewritten_head(head, status, kFraming, fields);
}

// ---- HTTP-date -----------------------------------------------------------------

// Reads an HTTP-date left to right; each step fails on anything else.
class DateReader {
 public:
  explicit DateReader(std::string_view text) : rest_(text) {}
  bool done() const { return rest_.empty(); }
  // Letters without case: browsers take `gmt` and `NOV` too.
  bool literal(std::string_view text) {
    if (rest_.size() < text.size() || !iequals(rest_.substr(0, text.size()), text)) return false;
    rest_.remove_prefix(text.size());
    return true;
  }
  // Between `min` and `max` digits.
  bool number(size_t min, size_t max, int &out) {
    size_t n = 0;
    out = 0;
    while (n < max && n < rest_.size() && rest_[n] >= '0' && rest_[n] <= '9')
      out = out * 10 + (rest_[n++] - '0');
    rest_.remove_prefix(n);
    return n >= min;
  }
  // A run of letters that is one of `names`; `index` tells which. The
  // grammar's names have case (RFC 9110 5.6.7), but every browser reads
  // them without, and so do we.
  template <size_t N>
  bool name(const std::array<std::string_view, N> &names, int &index) {
    const size_t n = std::min(rest_.size(), rest_.find_first_not_of(kLetters));
    const std::string_view word = rest_.substr(0, n);
    rest_.remove_prefix(n);
    const auto it = std::find_if(names.begin(), names.end(),
                                 [&](std::string_view n) { return iequals(n, word); });
    index = static_cast<int>(it - names.begin());
    return it != names.end();
  }
  bool time_of_day(int &h, int &m, int &s) {
    return number(2, 2, h) && literal(":") && number(2, 2, m) && literal(":") && number(2, 2, s);
  }

 private:
  static constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string_view rest_;
};

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 7> kLongDays = {
    "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

// RFC 9110 5.6.7: a two-digit year more than 50 years ahead is in the past.
int full_year(int two_digits) {
  namespace chrono = std::chrono;
  const chrono::sys_seconds now{chrono::seconds{now_seconds()}};
  const int current =
      static_cast<int>(chrono::year_month_day{chrono::floor<chrono::days>(now)}.year());
  int year = current / 100 * 100 + two_digits;
  if (year > current + 50) year -= 100;
  return year;
}

// Seconds since the epoch, in 64 bits whatever the width of time_t, so that
// no date wraps; nothing for a day the month does not have or a time out of
// range (a leap second counts).
std::optional<Seconds> to_seconds(int y, int month_index, int d, int h, int m, int s) {
  namespace chrono = std::chrono;
  const chrono::year_month_day date{chrono::year{y}, chrono::month{unsigned(month_index) + 1},
                                    chrono::day{unsigned(d)}};
  if (!date.ok() || h > 23 || m > 59 || s > 60) return std::nullopt;
  const chrono::sys_seconds at =
      chrono::sys_days{date} + chrono::hours{h} + chrono::minutes{m} + chrono::seconds{s};
  return at.time_since_epoch().count();
}

}  // namespace

Directives response_directives(std::string_view head) {
  Directives d;
  each_head_field(head, [&](const FieldLine &field) {
    if (iequals(field.name, "cache-control"))
      each_member(field.value, [&](std::string_view m) { apply_directive(d, m); });
  });
  return d;
}

Directives request_directives(const std::vector<HeaderField> &headers) {
  Directives d;
  bool has_cache_control = false;
  for (const auto &h : headers) {
    if (!iequals(h.name, "cache-control")) continue;
    has_cache_control = true;
    each_member(h.value, [&](std::string_view m) { apply_directive(d, m); });
  }
  if (has_cache_control) return d;
  for (const auto &h : headers) {
    if (iequals(h.name, "pragma"))
      each_member(h.value,
                  [&](std::string_view m) { d.no_cache = d.no_cache || iequals(m, "no-cache"); });
  }
  return d;
}

bool is_storable(std::string_view method, const std::vector<HeaderField> &request_headers,
                 std::string_view head) {
  if (method != "GET") return false;
  const int status = status_of(head);
  if (status < 200 || status == 206 || status == 304) return false;
  if (request_directives(request_headers).no_store) return false;
  const Directives d = response_directives(head);
  if (d.no_store || has_vary_star(head)) return false;
  const bool temporary_redirect = status == 302 || status == 303 || status == 307;
  if (d.must_understand && !cacheable_by_default(status) && !temporary_redirect) return false;
  return cacheable_by_default(status) || d.max_age || d.is_public || d.is_private ||
         first_field(head, "expires").has_value();
}

std::vector<HeaderField> vary_headers(std::string_view head,
                                      const std::vector<HeaderField> &request_headers) {
  std::vector<HeaderField> out;
  each_head_field(head, [&](const FieldLine &field) {
    if (!iequals(field.name, "vary")) return;
    each_member(field.value, [&](std::string_view name) {
      if (name == "*") return;
      const bool seen = std::any_of(out.begin(), out.end(),
                                    [&](const HeaderField &h) { return iequals(h.name, name); });
      if (seen) return;
      if (auto value = combined_value(request_headers, name)) {
        out.push_back({lower(name), vary_digest(*value)});
      }
    });
  });
  return out;
}

bool vary_matches(const StoredMeta &entry, const std::vector<HeaderField> &request_headers) {
  bool matches = true;
  each_head_field(entry.head, [&](const FieldLine &field) {
    if (!matches || !iequals(field.name, "vary")) return;
    each_member(field.value, [&](std::string_view name) {
      if (!matches) return;
      if (name == "*") {
        matches = false;
        return;
      }
      const auto stored = std::find_if(entry.vary.begin(), entry.vary.end(),
                                       [&](const HeaderField &h) { return iequals(h.name, name); });
      const auto current = combined_value(request_headers, name);
      if (stored == entry.vary.end())
        matches = !current.has_value();
      else
        matches = current.has_value() && stored->value == vary_digest(*current);
    });
  });
  return matches;
}

Seconds freshness_lifetime(std::string_view head, Seconds response_time) {
  const Directives d = response_directives(head);
  if (d.max_age) return *d.max_age;
  const Seconds date = date_value(head, response_time);
  if (const auto expires = first_field(head, "expires")) {
    const auto when = parse_http_date(*expires);
    return when ? std::max<Seconds>(0, *when - date) : 0;
  }
  if (!cacheable_by_default(status_of(head))) return 0;
  if (const auto modified = first_field(head, "last-modified")) {
    const auto when = parse_http_date(*modified);
    if (when && date > *when) return (date - *when) / 10;
  }
  return 0;
}

Seconds current_age(const StoredMeta &entry, Seconds now) {
  const Seconds date = date_value(entry.head, entry.response_time);
  const Seconds apparent_age = std::max<Seconds>(0, entry.response_time - date);
  Seconds age_value = 0;
  if (const auto age = first_field(entry.head, "age")) {
    // RFC 9111 5.1: the first member of a list counts, an invalid value
    // (`5s`, `-1`) is ignored.
    std::optional<std::string_view> first;
    each_member(*age, [&](std::string_view m) {
      if (!first) first = m;
    });
    if (first) age_value = parse_delta(*first).value_or(0);
  }
  const Seconds response_delay = std::max<Seconds>(0, entry.response_time - entry.request_time);
  const Seconds corrected_age_value = age_value + response_delay;
  const Seconds corrected_initial_age = std::max(apparent_age, corrected_age_value);
  const Seconds resident_time = std::max<Seconds>(0, now - entry.response_time);
  return corrected_initial_age + resident_time;
}

bool bypasses_cache(const std::vector<HeaderField> &request_headers) {
  if (has_conditional(request_headers)) return true;
  const bool has_range = std::any_of(request_headers.begin(), request_headers.end(),
                                     [](const HeaderField &h) { return iequals(h.name, "range"); });
  return has_range && !byte_range(request_headers);
}

std::optional<ByteRange> byte_range(const std::vector<HeaderField> &request_headers) {
  std::optional<std::string_view> value;
  for (const HeaderField &h : request_headers) {
    if (!iequals(h.name, "range")) continue;
    if (value) return std::nullopt;  // several fields: several ranges
    value = trim(h.value);
  }
  constexpr std::string_view kUnit = "bytes=";
  if (!value || value->size() <= kUnit.size() || !iequals(value->substr(0, kUnit.size()), kUnit))
    return std::nullopt;
  const std::string_view spec = trim(value->substr(kUnit.size()));
  const size_t dash = spec.find('-');
  if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos)
    return std::nullopt;
  constexpr int64_t kCap = INT64_MAX;
  const auto first = parse_digits(spec.substr(0, dash), kCap);
  const std::string_view rest = spec.substr(dash + 1);
  ByteRange range;
  if (!first) {
    if (dash != 0) return std::nullopt;
    const auto suffix = parse_digits(rest, kCap);
    if (!suffix || *suffix == 0) return std::nullopt;
    range.suffix = static_cast<uint64_t>(*suffix);
    return range;
  }
  range.first = static_cast<uint64_t>(*first);
  if (rest.empty()) return range;
  const auto last = parse_digits(rest, kCap);
  if (!last || *last < *first) return std::nullopt;
  range.last = static_cast<uint64_t>(*last);
  return range;
}

std::optional<std::pair<uint64_t, uint64_t>> resolve_range(const ByteRange &range,
                                                           uint64_t length) {
  if (length == 0) return std::nullopt;
  if (range.suffix) return std::make_pair(length - std::min(*range.suffix, length), length);
  if (range.first >= length) return std::nullopt;
  const uint64_t end = range.last ? std::min(*range.last + 1, length) : length;
  return std::make_pair(range.first, end);
}

std::optional<ContentRange> content_range(std::string_view head) {
  const auto field = first_field(head, "content-range");
  if (!field) return std::nullopt;
  std::string_view v = trim(*field);
  constexpr std::string_view kUnit = "bytes ";
  if (v.size() <= kUnit.size() || !iequals(v.substr(0, kUnit.size()), kUnit)) return std::nullopt;
  v = trim(v.substr(kUnit.size()));
  const size_t dash = v.find('-'), slash = v.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
    return std::nullopt;
  constexpr int64_t kCap = INT64_MAX;
  const auto first = parse_digits(v.substr(0, dash), kCap);
  const auto last = parse_digits(v.substr(dash + 1, slash - dash - 1), kCap);
  const auto length = parse_digits(v.substr(slash + 1), kCap);
  if (!first || !last || !length || *first > *last || *last >= *length) return std::nullopt;
  return ContentRange{static_cast<uint64_t>(*first), static_cast<uint64_t>(*last),
                      static_cast<uint64_t>(*length)};
}

std::string whole_head(std::string_view head, uint64_t length) {
  return with_status_and_length(head, "200 OK", length, {});
}

std::string part_head(std::string_view head, uint64_t first, uint64_t end, uint64_t length) {
  std::string range = "Content-Range: bytes " + std::to_string(first) + "-" +
                      std::to_string(end - 1) + "/" + std::to_string(length) + "\r\n";
  return with_status_and_length(head, "206 Partial Content", end - first, range);
}

bool part_is_storable(const std::vector<HeaderField> &request_headers, std::string_view head) {
  return byte_range(request_headers) && !has_conditional(request_headers) &&
         !request_directives(request_headers).no_store && part_head_is_storable(head);
}

bool part_head_is_storable(std::string_view head) {
  if (status_of(head) != 206 || !strong_etag(head) || !content_range(head)) return false;
  if (const auto coding = first_field(head, "content-encoding");
      coding && !iequals(trim(*coding), "identity") && !trim(*coding).empty())
    return false;
  return !response_directives(head).no_store && !has_vary_star(head);
}

std::string parts_text(const StoredMeta &meta) {
  if (meta.parts.empty()) return {};
  std::string out = std::to_string(meta.length) + ":";
  for (size_t i = 0; i < meta.parts.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(meta.parts[i].first) + "-" + std::to_string(meta.parts[i].second);
  }
  return out;
}

bool read_parts(std::string_view text, StoredMeta &meta) {
  meta.parts.clear();
  meta.length = 0;
  if (text.empty()) return true;
  constexpr int64_t kCap = INT64_MAX;
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto length = parse_digits(text.substr(0, colon), kCap);
  if (!length) return false;
  bool ok = true;
  uint64_t previous_end = 0;
  std::string_view rest = text.substr(colon + 1);
  while (ok && !rest.empty()) {
    const size_t comma = std::min(rest.find(','), rest.size());
    const std::string_view part = rest.substr(0, comma);
    rest.remove_prefix(std::min(comma + 1, rest.size()));
    const size_t dash = part.find('-');
    const auto first = parse_digits(part.substr(0, std::min(dash, part.size())), kCap);
    const auto end =
        dash == std::string_view::npos ? std::nullopt : parse_digits(part.substr(dash + 1), kCap);
    ok = first && end && *first < *end && *end <= *length &&
         (meta.parts.empty() || static_cast<uint64_t>(*first) > previous_end);
    if (ok) {
      meta.parts.emplace_back(*first, *end);
      previous_end = static_cast<uint64_t>(*end);
    }
  }
  meta.length = static_cast<uint64_t>(*length);
  if (!ok || meta.parts.empty()) {
    meta.parts.clear();
    meta.length = 0;
    return false;
  }
  return true;
}

Action decide(CacheMode mode, const StoredMeta &entry,
              const std::vector<HeaderField> &request_headers, Seconds now) {
  switch (mode) {
    case CacheMode::Bypass:
    case CacheMode::NoStore:
      return Action::Network;
    case CacheMode::Force:
    case CacheMode::OnlyIfCached:
      return Action::Use;
    case CacheMode::Validate:
    case CacheMode::Default:
      break;
  }
  const Directives request = request_directives(request_headers);
  if (request.only_if_cached) return Action::Use;
  // The caller's own conditions and no-store are answered by the origin, so
  // that a 304 or 412 reaches the caller rather than the stored response.
  if (request.no_store || has_conditional(request_headers)) return Action::Network;

  const Directives response = response_directives(entry.head);
  const Seconds age = current_age(entry, now);
  const Seconds lifetime = freshness_lifetime(entry.head, entry.response_time);
  const bool fresh = lifetime > age;
  const bool too_old_for_request = (request.max_age && age > *request.max_age) ||
                                   (request.min_fresh && lifetime - age < *request.min_fresh);
  // A reload asks again for everything but what its origin declared will
  // never change while fresh; a no-cache (a forced reload) asks anyway.
  if (fresh && response.immutable && !request.no_cache && !response.no_cache &&
      !(request.min_fresh && lifetime - age < *request.min_fresh))
    return Action::Use;
  if (mode == CacheMode::Validate) return revalidate(entry);
  if (request.no_cache || response.no_cache || too_old_for_request) return revalidate(entry);
  if (fresh) return Action::Use;
  // Stale: only a request that accepts staleness may take it, and never one
  // the origin told to revalidate.
  if (response.must_revalidate) return revalidate(entry);
  if (request.max_stale_any || (request.max_stale && age - lifetime <= *request.max_stale))
    return Action::Use;
  // stale-while-revalidate: the origin lets a stale response be used for a
  // while as long as it is revalidated meanwhile. proxy-revalidate binds
  // only shared caches, but an origin that sent it wants no stale use by
  // anyone who relays its answer, so it stops this too.
  if (mode == CacheMode::Default && !response.proxy_revalidate && !request.max_age &&
      !request.min_fresh && response.stale_while_revalidate &&
      age - lifetime <= *response.stale_while_revalidate)
    return Action::UseAndRenew;
  return revalidate(entry);
}

bool serves_stale_on_error(CacheMode mode, const StoredMeta &entry,
                           const std::vector<HeaderField> &request_headers, Seconds now) {
  if (mode != CacheMode::Default) return false;
  const Directives response = response_directives(entry.head);
  if (response.must_revalidate || response.proxy_revalidate || response.no_cache) return false;
  const Directives request = request_directives(request_headers);
  std::optional<Seconds> window = response.stale_if_error;
  if (request.stale_if_error) window = std::max(window.value_or(0), *request.stale_if_error);
  // A request that asked for a revalidation gets the stored response on an
  // error only when it says it takes one.
  else if (request.no_cache)
    return false;
  if (!window) return false;
  const Seconds staleness =
      current_age(entry, now) - freshness_lifetime(entry.head, entry.response_time);
  return staleness <= *window;
}

bool is_error_for_stale(int status) {
  return status == 500 || status == 502 || status == 503 || status == 504;
}

std::string unvalidated_head(std::string_view head) {
  return without_fields(head, response_directives(head).no_cache_fields);
}

std::string head_to_store(std::string_view head) {
  std::vector<std::string> names = response_directives(head).private_fields;
  names.push_back("proxy-authenticate");
  names.push_back("proxy-authentication-info");
  return without_fields(head, names);
}

bool update_selects(std::string_view stored, std::string_view update) {
  const auto theirs = first_field(update, "etag");
  if (!theirs) return true;
  const auto ours = first_field(stored, "etag");
  if (!ours) return false;
  const std::string_view a = trim(*ours), b = trim(*theirs);
  const bool a_weak = a.starts_with("W/"), b_weak = b.starts_with("W/");
  if (!b_weak) return !a_weak && a == b;
  return a.substr(a_weak ? 2 : 0) == b.substr(2);
}

std::optional<std::string> strong_etag(std::string_view head) {
  const auto etag = first_field(head, "etag");
  if (!etag) return std::nullopt;
  const std::string_view tag = trim(*etag);
  if (tag.size() < 2 || tag.front() != '"' || tag.back() != '"') return std::nullopt;
  return std::string(tag);
}

bool may_update(const std::vector<HeaderField> &request_headers, std::string_view update) {
  return !request_directives(request_headers).no_store && !response_directives(update).no_store;
}

std::vector<HeaderField> validators(std::string_view head) {
  std::vector<HeaderField> out;
  if (const auto etag = first_field(head, "etag"); etag && !etag->empty())
    out.push_back({"If-None-Match", std::string(*etag)});
  if (const auto modified = first_field(head, "last-modified"); modified && !modified->empty())
    out.push_back({"If-Modified-Since", std::string(*modified)});
  return out;
}

std::string freshen_head(std::string_view stored, std::string_view update) {
  std::vector<FieldLine> updates;
  each_head_field(update, [&](const FieldLine &field) {
    if (!kept_as_stored(field.name, update)) updates.push_back(field);
  });
  // Date and Age describe the response that last came from the origin: a
  // stored one the update lacks would age the renewed entry at once.
  auto updated = [&](std::string_view name) {
    return iequals(name, "date") || iequals(name, "age") ||
           std::any_of(updates.begin(), updates.end(),
                       [&](const FieldLine &u) { return iequals(u.name, name); });
  };
  // A replaced field takes the place of its first stored line; new fields
  // come last.
  std::vector<bool> placed(updates.size(), false);
  auto place = [&](std::string &out, std::string_view name) {
    for (size_t i = 0; i < updates.size(); ++i) {
      if (placed[i] || !iequals(updates[i].name, name)) continue;
      placed[i] = true;
      out.append(updates[i].line).append("\r\n");
    }
  };

  std::string out;
  out.reserve(stored.size() + update.size());
  out.append(status_line(stored)).append("\r\n");
  each_head_field(stored, [&](const FieldLine &field) {
    if (!updated(field.name)) {
      out.append(field.line).append("\r\n");
      return;
    }
    place(out, field.name);
  });
  for (size_t i = 0; i < updates.size(); ++i) place(out, updates[i].name);
  out += "\r\n";
  return out;
}

bool head_may_freshen(std::string_view stored, std::string_view head_response) {
  bool any_validator = false;
  for (std::string_view name : {"etag", "last-modified"}) {
    const auto theirs = first_field(head_response, name);
    const auto ours = first_field(stored, name);
    if (!theirs) continue;
    any_validator = true;
    if (!ours || *ours != *theirs) return false;
  }
  // Without validators the HEAD response can only vouch for an entry that
  // has none either.
  if (!any_validator && !validators(stored).empty()) return false;
  if (const auto length = first_field(head_response, "content-length")) {
    const auto ours = first_field(stored, "content-length");
    if (!ours || *ours != *length) return false;
  }
  return true;
}

std::string with_age(std::string_view head, Seconds age) {
  static constexpr std::array<std::string_view, 1> kAge = {"age"};
  const std::string field = "Age: " + std::to_string(std::max<Seconds>(0, age)) + "\r\n";
  return rewritten_head(head, {}, kAge, field);
}

bool invalidates(std::string_view method, int status) {
  if (status < 200 || status >= 400) return false;
  return method != "GET" && method != "HEAD" && method != "OPTIONS" && method != "TRACE";
}

std::vector<std::string> invalidated_urls(const std::string &request_url, std::string_view head) {
  std::vector<std::string> keys;
  if (auto key = cache_key(request_url)) keys.push_back(std::move(*key));
  const std::string origin = url_origin(request_url);
  for (std::string_view name : {"location", "content-location"}) {
    const auto reference = first_field(head, name);
    if (!reference || reference->empty()) continue;
    const auto resolved = resolve_url(request_url, *reference);
    if (!resolved) continue;
    const auto target = cache_key(*resolved);
    if (!target || origin.empty() || url_origin(*target) != origin) continue;
    if (std::find(keys.begin(), keys.end(), *target) == keys.end()) keys.push_back(*target);
  }
  return keys;
}

std::optional<Seconds> parse_http_date(std::string_view text) {
  DateReader r(trim(text));
  int weekday = 0, d = 0, mon = 0, y = 0, h = 0, m = 0, s = 0;
  if (r.name(kDays, weekday)) {
    if (r.literal(",")) {
      // IMF-fixdate: Sun, 06 Nov 1994 08:49:37 GMT
      if (r.literal(" ") && r.number(1, 2, d) && r.literal(" ") && r.name(kMonths, mon) &&
          r.literal(" ") && r.number(4, 4, y) && r.literal(" ") && r.time_of_day(h, m, s) &&
          r.literal(" GMT") && r.done())
        return to_seconds(y, mon, d, h, m, s);
      return std::nullopt;
    }
    // asctime: Sun Nov  6 08:49:37 1994, a one-digit day padded with a space
    if (r.literal(" ") && r.name(kMonths, mon) && (r.literal("  ") || r.literal(" ")) &&
        r.number(1, 2, d) && r.literal(" ") && r.time_of_day(h, m, s) && r.literal(" ") &&
        r.number(4, 4, y) && r.done())
      return to_seconds(y, mon, d, h, m, s);
    return std::nullopt;
  }
  // RFC 850: Sunday, 06-Nov-94 08:49:37 GMT
  r = DateReader(trim(text));
  if (r.name(kLongDays, weekday) && r.literal(", ") && r.number(2, 2, d) && r.literal("-") &&
      r.name(kMonths, mon) && r.literal("-") && r.number(2, 2, y) && r.literal(" ") &&
      r.time_of_day(h, m, s) && r.literal(" GMT") && r.done())
    return to_seconds(full_year(y), mon, d, h, m, s);
  return std::nullopt;
}

}  // namespace hvcore::cache
