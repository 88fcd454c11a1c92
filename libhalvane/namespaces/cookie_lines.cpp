#include "namespaces/cookie_lines.h"

#include <libpsl.h>

#include <algorithm>
#include <charconv>
#include <ctime>

#include "base/curl_handles.h"
#include "base/http_text.h"

namespace hvcore {
namespace {

constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";
constexpr int64_t kMaxLifetime = int64_t{400} * 24 * 3600;

bool has_control(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

bool is_ip_literal(std::string_view host) {
  if (host.find(':') != std::string_view::npos) return true;  // IPv6
  return !host.empty() && std::all_of(host.begin(), host.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// The public suffix list, as libcurl loads it for its own transfers: the
// system's copy when newer than the one built into libpsl. Loaded once and
// kept for the life of the process; null when neither is there.
const psl_ctx_t *public_suffixes() {
  static const psl_ctx_t *const list = [] {
    const psl_ctx_t *latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  return list;
}

// A Domain attribute naming a public suffix would reach every site under it.
// Without the list, a single label stands for one.
bool is_public_suffix(const std::string &domain) {
  if (const psl_ctx_t *list = public_suffixes()) return psl_is_public_suffix(list, domain.c_str());
  return domain.find('.') == std::string::npos;
}

// RFC 6265 5.1.3: `host` (lower case) is `domain` or a name under it.
bool domain_match(std::string_view host, std::string_view domain) {
  if (iequals(host, domain)) return true;
  if (is_ip_literal(host) || host.size() <= domain.size()) return false;
  return host[host.size() - domain.size() - 1] == '.' &&
         iequals(host.substr(host.size() - domain.size()), domain);
}

// RFC 6265 5.1.4.
bool path_match(std::string_view request_path, std::string_view cookie_path) {
  if (request_path == cookie_path) return true;
  if (request_path.substr(0, cookie_path.size()) != cookie_path) return false;
  return (!cookie_path.empty() && cookie_path.back() == '/') ||
         request_path[cookie_path.size()] == '/';
}

// RFC 6265 5.1.4: the directory of the request path.
std::string default_path(std::string_view request_path) {
  if (request_path.empty() || request_path.front() != '/') return "/";
  size_t slash = request_path.rfind('/');
  if (slash == 0) return "/";
  return std::string(request_path.substr(0, slash));
}

struct Target {
  std::string scheme;
  std::string host;  // lower case
  std::string path;  // without the query; "/" when empty
};

std::optional<Target> parse_target(const std::string &url) {
  UrlPtr u(curl_url());
  if (!u ||
      curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::nullopt;
  auto part = [&](CURLUPart which) -> std::optional<std::string> {
    char *p = nullptr;
    if (curl_url_get(u.get(), which, &p, 0) != CURLUE_OK) return std::nullopt;
    CurlString owned(p);
    return std::string(p);
  };
  auto scheme = part(CURLUPART_SCHEME);
  auto host = part(CURLUPART_HOST);
  if (!scheme || !host) return std::nullopt;
  Target t;
  t.scheme = lower(*scheme);
  t.host = lower(*host);
  if (t.host.size() >= 2 && t.host.front() == '[' && t.host.back() == ']')
    t.host = t.host.substr(1, t.host.size() - 2);
  t.path = part(CURLUPART_PATH).value_or("/");
  if (t.path.empty()) t.path = "/";
  return t;
}

// Browsers treat loopback hosts as secure origins for cookies, and so do
// libcurl's requests for localhost, 127.0.0.1 and ::1.
bool loopback_host(std::string_view host) {
  return host == "localhost" ||
         (host.size() > 10 && host.substr(host.size() - 10) == ".localhost") ||
         host.substr(0, 4) == "127." || host == "::1";
}

// Where a Secure cookie may be set and where it goes: one rule for both.
bool secure_origin(const Target &target) {
  return target.scheme == "https" || target.scheme == "wss" || loopback_host(target.host);
}

std::optional<int64_t> parse_int(std::string_view s) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// Calls `f` with each non-empty ';'-separated member of a Cookie field, trimmed.
template <typename F>
void for_each_pair(std::string_view field, F &&f) {
  while (!field.empty()) {
    const size_t semi = field.find(';');
    const std::string_view pair = trim(field.substr(0, semi));
    if (!pair.empty()) f(pair);
    if (semi == std::string_view::npos) break;
    field.remove_prefix(semi + 1);
  }
}

}  // namespace

std::string CookieLine::key() const {
  std::string k = lower(domain);
  k += '\t';
  k += path;
  k += '\t';
  k += name;
  return k;
}

std::string CookieLine::netscape() const {
  std::string line;
  if (http_only) line += kHttpOnlyPrefix;
  if (include_subdomains) line += '.';
  line += domain;
  line += include_subdomains ? "\tTRUE\t" : "\tFALSE\t";
  line += path;
  line += secure ? "\tTRUE\t" : "\tFALSE\t";
  line += std::to_string(expires);
  line += '\t';
  line += name;
  line += '\t';
  line += value;
  return line;
}

std::optional<CookieLine> parse_cookie_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  CookieLine c;
  if (line.substr(0, kHttpOnlyPrefix.size()) == kHttpOnlyPrefix) {
    c.http_only = true;
    line.remove_prefix(kHttpOnlyPrefix.size());
  } else if (line.empty() || line.front() == '#') {
    return std::nullopt;  // a comment
  }
  // Six tab-separated fields, then the value, which is the rest of the line.
  std::string_view fields[6];
  for (auto &f : fields) {
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
      // libcurl accepts a line that ends after the name: an empty value.
      if (&f != &fields[5]) return std::nullopt;
      f = line;
      line = {};
      break;
    }
    f = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  std::string_view domain = fields[0];
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  auto expires = parse_int(fields[4]);
  if (domain.empty() || !expires) return std::nullopt;
  c.domain = domain;
  c.include_subdomains = iequals(fields[1], "TRUE");
  c.path = fields[2];
  c.secure = iequals(fields[3], "TRUE");
  c.expires = *expires;
  c.name = fields[5];
  c.value = line;
  return c;
}

std::vector<CookieLine> jar_cookies(CURL *easy) try {
  std::vector<CookieLine> out;
  curl_slist *raw = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &raw) != CURLE_OK) return out;
  SlistPtr list(raw);
  int64_t now = now_seconds();
  for (curl_slist *l = list.get(); l != nullptr; l = l->next) {
    auto c = parse_cookie_line(l->data);
    // libcurl drops an expired cookie lazily; until then it is gone all the same.
    if (c && (c->expires == 0 || c->expires > now)) out.push_back(std::move(*c));
  }
  return out;
} catch (...) {
  return {};
}

std::string cookie_header_for(CURL *easy, const std::string &url) try {
  auto target = parse_target(url);
  if (!target) return {};
  const bool secure = secure_origin(*target);
  std::vector<CookieLine> matching;
  for (auto &c : jar_cookies(easy)) {
    if (c.secure && !secure) continue;
    bool host_ok = c.include_subdomains ? domain_match(target->host, c.domain)
                                        : iequals(target->host, c.domain);
    if (host_ok && path_match(target->path, c.path)) matching.push_back(std::move(c));
  }
  std::stable_sort(matching.begin(), matching.end(), [](const CookieLine &a, const CookieLine &b) {
    return a.path.size() > b.path.size();
  });
  std::string header;
  for (const auto &c : matching) {
    if (!header.empty()) header += "; ";
    header += c.name;
    header += '=';
    header += c.value;
  }
  return header;
} catch (...) {
  return {};
}

bool store_set_cookie(CURL *easy, const std::string &url, std::string_view set_cookie) try {
  auto target = parse_target(url);
  if (!target) return false;

  // RFC 6265 5.2: the name-value pair, then attributes, each up to a ';'.
  size_t semi = set_cookie.find(';');
  std::string_view pair = set_cookie.substr(0, semi);
  std::string_view attrs = semi == std::string_view::npos ? "" : set_cookie.substr(semi + 1);
  size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view name = trim(pair.substr(0, eq));
  std::string_view value = trim(pair.substr(eq + 1));
  // Tabs and line ends would break the jar's line format.
  if (name.empty() || has_control(name) || has_control(value) || name.size() + value.size() > 4096)
    return false;

  std::optional<int64_t> max_age, expires;
  std::optional<std::string> domain_attr;
  std::string path;
  bool secure = false, http_only = false;
  while (!attrs.empty()) {
    size_t next = attrs.find(';');
    std::string_view av = attrs.substr(0, next);
    attrs = next == std::string_view::npos ? "" : attrs.substr(next + 1);
    size_t aeq = av.find('=');
    std::string_view an = trim(av.substr(0, aeq));
    std::string_view val = aeq == std::string_view::npos ? "" : trim(av.substr(aeq + 1));
    if (iequals(an, "expires")) {
      std::string date(val);
      time_t t = curl_getdate(date.c_str(), nullptr);
      if (t != -1) expires = static_cast<int64_t>(t);
    } else if (iequals(an, "max-age")) {
      std::string_view digits = val.substr(!val.empty() && val[0] == '-' ? 1 : 0);
      if (!digits.empty() &&
          std::all_of(digits.begin(), digits.end(), [](char d) { return d >= '0' && d <= '9'; })) {
        auto delta = parse_int(val);
        max_age = delta ? *delta : (val[0] == '-' ? INT64_MIN : INT64_MAX);
      }
    } else if (iequals(an, "domain")) {
      if (!val.empty() && val.front() == '.') val.remove_prefix(1);
      if (!val.empty()) domain_attr = lower(val);
    } else if (iequals(an, "path")) {
      path = (!val.empty() && val.front() == '/') ? std::string(val) : std::string();
    } else if (iequals(an, "secure")) {
      secure = true;
    } else if (iequals(an, "httponly")) {
      http_only = true;
    }
  }
  if (has_control(path)) return false;

  CookieLine c;
  c.name = name;
  c.value = value;
  c.secure = secure;
  c.http_only = http_only;
  c.path = path.empty() ? default_path(target->path) : path;
  c.domain = target->host;
  if (domain_attr) {
    if (!domain_match(target->host, *domain_attr)) return false;
    // RFC 6265 5.3 step 5: a public suffix only for the host that is one.
    if (is_ip_literal(*domain_attr) || !is_public_suffix(*domain_attr)) {
      c.domain = *domain_attr;
      c.include_subdomains = true;
    } else if (*domain_attr != target->host) {
      return false;
    }
  }
  if (secure && !secure_origin(*target)) return false;
  if (name.substr(0, 9) == "__Secure-" && !secure) return false;
  if (name.substr(0, 7) == "__Host-" && (!secure || domain_attr || c.path != "/")) return false;

  // Expiry at most 400 days ahead, as browsers keep it; a zero or negative
  // Max-Age or a past Expires deletes, and 0 would mean a session cookie.
  int64_t now = now_seconds();
  if (max_age) {
    c.expires = *max_age <= 0 ? 1 : now + std::min(*max_age, kMaxLifetime);
  } else if (expires) {
    c.expires = *expires <= 0 ? 1 : std::min(*expires, now + kMaxLifetime);
  }
  // An expired line replaces the stored cookie, and libcurl then drops it.
  std::string line = c.netscape();
  return curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str()) == CURLE_OK;
} catch (...) {
  return false;
}

std::string merge_cookie_fields(std::string_view jar, std::string_view given) {
  auto name_of = [](std::string_view pair) { return trim(pair.substr(0, pair.find('='))); };
  std::vector<std::string_view> given_names;
  for_each_pair(given, [&](std::string_view pair) { given_names.push_back(name_of(pair)); });
  std::string merged;
  for_each_pair(jar, [&](std::string_view pair) {
    if (std::find(given_names.begin(), given_names.end(), name_of(pair)) != given_names.end())
      return;
    if (!merged.empty()) merged += "; ";
    merged += pair;
  });
  for_each_pair(given, [&](std::string_view pair) {
    if (!merged.empty()) merged += "; ";
    merged += pair;
  });
  return merged;
}

size_t store_set_cookies(CURL *easy, const std::string &url,
                         const std::vector<std::string> &set_cookies) {
  size_t taken = 0;
  for (const std::string &value : set_cookies) {
    if (taken == kMaxSetCookiesPerResponse) break;
    if (store_set_cookie(easy, url, value)) ++taken;
  }
  return taken;
}

std::string cookie_site(std::string_view domain) {
  std::string lowered = lower(domain);
  const psl_ctx_t *list = public_suffixes();
  if (list == nullptr || is_ip_literal(lowered)) return lowered;
  const char *site = psl_registrable_domain(list, lowered.c_str());
  return site != nullptr ? std::string(site) : lowered;
}

}  // namespace hvcore
