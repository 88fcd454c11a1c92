// An engine's cookie jar, read and changed through the Core's "cookies"
// extension (core_extensions.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/result.h"

namespace halvane {

class Engine;

struct Cookie {
  std::string name;
  std::string value;
  std::string domain;  // without a leading dot
  std::string path = "/";
  bool secure = false;
  bool http_only = false;
  std::optional<int64_t> expires;  // seconds since the epoch; none: a session cookie
  bool host_only = false;          // set without a Domain attribute: that host alone

  friend bool operator==(const Cookie &, const Cookie &) = default;
};

// Why the jar cannot hold `cookie` ("empty name", "value contains ';'"...),
// or nothing when it can. The Core refuses the same cookies.
std::optional<std::string> cookie_refusal(const Cookie &cookie);

struct CookieFilter {
  std::optional<std::string> domain;  // compared exactly, without a leading dot
  std::optional<std::string> path;
  std::optional<std::string> name;
};

// InvalidState when the Core lacks the extension; the Core's code otherwise.
Result<std::vector<Cookie>> list_cookies(const Engine &engine);
// Replaces the cookie of the same name, domain and path. InvalidArgument
// for a cookie with a refusal, or one the Core refused.
Status set_cookie(const Engine &engine, const Cookie &cookie);
// Deletes the cookies matching every field the filter gives (all of them
// when it gives none); yields how many went.
Result<uint32_t> delete_cookies(const Engine &engine, const CookieFilter &filter);

}  // namespace halvane
