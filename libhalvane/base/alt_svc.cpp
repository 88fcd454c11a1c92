#include "base/alt_svc.h"

#include <algorithm>

#include "base/http_text.h"

namespace hvcore {
namespace {

constexpr int64_t kDefaultMaxAge = 24 * 3600;  // RFC 7838 3.1
// Browsers keep about this many servers' alternatives.
constexpr size_t kMaxOrigins = 1000;
constexpr auto kFirstBrokenWait = std::chrono::minutes(5);
constexpr int kMaxBrokenDoublings = 9;  // 5 minutes * 2^9: about 2 days

// A quoted-string's content with its escapes undone; nothing when `text` is
// not exactly one quoted string.
std::optional<std::string> unquote(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return std::nullopt;
    if (c == '\\') {
      if (i + 2 >= text.size()) return std::nullopt;  // it escapes the closing quote
      c = text[++i];
    }
    out += c;
  }
  return out;
}

// "host:port" or ":port" naming the origin's own host and port.
bool names_origin(std::string_view authority, std::string_view host, int port) {
  const size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return false;
  if (parse_digits(authority.substr(colon + 1), INT64_MAX) != port) return false;
  const std::string_view alt_host = authority.substr(0, colon);
  return alt_host.empty() || iequals(alt_host, host);
}

// The max-age of one alternative `h3="authority"; ma=N; ...` when it is an
// h3 one on the origin's host and port.
std::optional<int64_t> h3_alternative(std::string_view member, std::string_view host, int port) {
  // The parameters follow the first ';' outside the quoted authority.
  size_t end = 0;
  bool quoted = false;
  for (; end < member.size(); ++end) {
    if (member[end] == '"') quoted = !quoted;
    if (quoted && member[end] == '\\') ++end;
    if (!quoted && member[end] == ';') break;
  }
  const std::string_view alternative = trim(member.substr(0, end));
  const size_t eq = alternative.find('=');
  if (eq == std::string_view::npos || alternative.substr(0, eq) != "h3") return std::nullopt;
  const auto authority = unquote(trim(alternative.substr(eq + 1)));
  if (!authority || !names_origin(*authority, host, port)) return std::nullopt;
  int64_t max_age = kDefaultMaxAge;
  std::string_view params = end < member.size() ? member.substr(end + 1) : std::string_view();
  while (!params.empty()) {
    const size_t semi = params.find(';');
    const std::string_view param = trim(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
    const size_t peq = param.find('=');
    if (peq == std::string_view::npos || !iequals(trim(param.substr(0, peq)), "ma")) continue;
    std::string_view value = trim(param.substr(peq + 1));
    std::string unquoted;
    if (value.starts_with('"')) {
      auto u = unquote(value);
      if (!u) return std::nullopt;
      unquoted = std::move(*u);
      value = unquoted;
    }
    // A max-age too large for 64 bits is the largest there is.
    const auto parsed = parse_digits(value, INT64_MAX);
    if (!parsed) return std::nullopt;
    max_age = *parsed;
  }
  return max_age;
}

// The host and port of a url_origin() string, "scheme://host:port".
bool split_origin(const std::string &origin, std::string_view &host, int &port) {
  const size_t start = origin.find("://");
  const size_t colon = origin.rfind(':');
  if (start == std::string::npos || colon == std::string::npos || colon <= start + 3) return false;
  host = std::string_view(origin).substr(start + 3, colon - start - 3);
  const auto p = parse_digits(std::string_view(origin).substr(colon + 1), INT64_MAX);
  if (!p || *p > 65535) return false;
  port = static_cast<int>(*p);
  return true;
}

int64_t expiry(int64_t now, int64_t max_age) {
  return max_age > INT64_MAX - now ? INT64_MAX : now + max_age;
}

}  // namespace

AltSvcField parse_alt_svc(std::string_view value, std::string_view origin_host, int origin_port) {
  AltSvcField field;
  value = trim(value);
  if (value == "clear") {
    field.clear = true;
    return field;
  }
  each_member(value, [&](std::string_view member) {
    if (field.h3_max_age) return;
    field.h3_max_age = h3_alternative(member, origin_host, origin_port);
  });
  return field;
}

void AltServices::set_persist(Persist persist) {
  std::lock_guard lock(mutex_);
  persist_ = std::move(persist);
}

void AltServices::load(const std::vector<AltSvcEntry> &entries, int64_t now) {
  std::lock_guard lock(mutex_);
  for (const AltSvcEntry &e : entries) {
    if (e.expires <= now || states_.size() >= kMaxOrigins) continue;
    states_[e.origin].expires = e.expires;
  }
}

void AltServices::advertised(const std::string &origin, std::string_view value, int64_t now) {
  std::string_view host;
  int port = 0;
  if (!split_origin(origin, host, port)) return;
  const AltSvcField field = parse_alt_svc(value, host, port);
  // Any Alt-Svc field replaces what the origin said before (RFC 7838 3):
  // one that names no usable h3 alternative withdraws it.
  const int64_t expires =
      field.h3_max_age && *field.h3_max_age > 0 ? expiry(now, *field.h3_max_age) : 0;
  store(origin, expires);
}

void AltServices::store(const std::string &origin, int64_t expires) {
  Persist persist;
  {
    std::lock_guard lock(mutex_);
    auto it = states_.find(origin);
    if (expires == 0) {
      if (it == states_.end()) return;
      states_.erase(it);
    } else {
      if (it == states_.end()) {
        if (states_.size() >= kMaxOrigins) states_.erase(states_.begin());
        it = states_.emplace(origin, State{}).first;
      }
      // A refresh of a few seconds is not worth a write.
      if (it->second.expires != 0 && expires - it->second.expires < 60 &&
          expires >= it->second.expires) {
        it->second.expires = expires;
        return;
      }
      it->second.expires = expires;
    }
    persist = persist_;
  }
  if (persist) persist(AltSvcEntry{origin, expires});
}

AltServices::Use AltServices::use_for(const std::string &origin, int64_t now,
                                      Clock::time_point mono_now) {
  std::lock_guard lock(mutex_);
  auto it = states_.find(origin);
  if (it == states_.end()) return Use::None;
  State &s = it->second;
  if (s.expires <= now) return Use::None;
  if (s.broken_until) {
    if (mono_now < *s.broken_until) return Use::None;
    s.broken_until.reset();  // tried again, by racing
  }
  if (s.working) return Use::Working;
  if (s.racing) return Use::None;
  s.racing = true;
  return Use::Try;
}

void AltServices::reached(const std::string &origin) {
  std::lock_guard lock(mutex_);
  auto it = states_.find(origin);
  if (it == states_.end()) return;
  it->second.working = true;
  it->second.racing = false;
  it->second.failures = 0;
}

void AltServices::race_abandoned(const std::string &origin) {
  std::lock_guard lock(mutex_);
  auto it = states_.find(origin);
  if (it != states_.end()) it->second.racing = false;
}

void AltServices::broken(const std::string &origin, Clock::time_point mono_now) {
  std::lock_guard lock(mutex_);
  auto it = states_.find(origin);
  if (it == states_.end()) return;
  State &s = it->second;
  s.working = s.racing = false;
  s.broken_until =
      mono_now + kFirstBrokenWait * (int64_t{1} << std::min(s.failures, kMaxBrokenDoublings));
  ++s.failures;
}

}  // namespace hvcore
