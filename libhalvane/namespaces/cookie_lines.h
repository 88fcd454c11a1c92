// libcurl's cookie jar seen as lines of its Netscape format
// (CURLINFO_COOKIELIST / CURLOPT_COOKIELIST), for the parts of the Core that
// libcurl's own transfers do not cover: persisting a namespace's cookies and
// WebSocket handshakes.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvcore {

struct CookieLine {
  std::string domain;  // without a leading '.' and without "#HttpOnly_"
  bool include_subdomains = false;
  std::string path;
  bool secure = false;
  bool http_only = false;
  int64_t expires = 0;  // seconds since the epoch; 0: a session cookie
  std::string name;
  std::string value;

  std::string key() const;       // domain, path and name: one cookie's identity
  std::string netscape() const;  // the line for CURLOPT_COOKIELIST
};

std::optional<CookieLine> parse_cookie_line(std::string_view line);

// Every cookie of the jar `easy` uses (its share's, when it has one), but
// the expired ones, which libcurl keeps until its next look at the jar.
std::vector<CookieLine> jar_cookies(CURL *easy);

// The Cookie header value for a request to `url` (http, https, ws or wss):
// matching domain, path and secure flag, not expired, longest path first.
// Empty when none match.
std::string cookie_header_for(CURL *easy, const std::string &url);

// Stores one Set-Cookie field value received from `url` in the jar, as a
// browser would (host-only without Domain, default path, Max-Age over
// Expires, a past expiry deletes). Refuses a Domain that does not
// domain-match the host or that is a public suffix (a host that is itself
// one keeps the cookie to itself). Returns whether the jar took it.
bool store_set_cookie(CURL *easy, const std::string &url, std::string_view set_cookie);

// One Cookie field from the jar's pairs (`jar`, as cookie_header_for gives
// them) and the caller's own (`given`): the jar's pairs whose names the
// caller does not give, then the caller's, so that the caller's value of a
// name is the only one sent.
std::string merge_cookie_fields(std::string_view jar, std::string_view given);

// libcurl takes at most this many cookies from one response.
constexpr size_t kMaxSetCookiesPerResponse = 50;

// Stores the Set-Cookie field values of one response, in order, up to
// kMaxSetCookiesPerResponse taken. Returns how many were taken.
size_t store_set_cookies(CURL *easy, const std::string &url,
                         const std::vector<std::string> &set_cookies);

// The site a cookie domain belongs to: its registrable domain (one label
// under its public suffix), or the domain itself for an IP address or a
// public suffix. Lower case. Throws std::bad_alloc.
std::string cookie_site(std::string_view domain);

}  // namespace hvcore
