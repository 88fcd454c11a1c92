// URL handling on libcurl's parser: requests accept absolute http and https
// URLs only, redirects resolve their Location against the current URL, and
// WebSockets accept ws and wss URLs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/settings.h"

namespace hvcore {

// The URL in libcurl's normal form when it is an absolute http or https URL
// free of control characters and spaces; nothing otherwise.
std::optional<std::string> normalize_http_url(std::string_view url);

// `reference` (absolute or relative) resolved against `base`; nothing when it
// does not parse. The scheme of the result is not checked.
std::optional<std::string> resolve_url(const std::string &base, std::string_view reference);

// True when `url` parses and its scheme is http or https.
bool has_http_scheme(const std::string &url);

// The scheme of any absolute URL, in lower case; nothing when it does not
// parse.
std::optional<std::string> url_scheme(const std::string &url);

// "scheme://host:port" with the port made explicit; empty when `url` does not
// parse.
std::string url_origin(const std::string &url);

// What the HTTP cache stores the response to `url` under: one key for every
// spelling of the same resource (RFC 9110 4.2.3). Scheme and host in lower
// case, no default port, no credentials, no fragment, "/" for an empty path;
// in path and query, percent-encoded unreserved characters decoded, other
// percent-encodings in upper case, characters a URI cannot hold encoded, and
// the dot-segments decoding uncovers removed. Nothing when `url` is not an
// absolute http or https URL.
std::optional<std::string> cache_key(std::string_view url);

// True when `host`, a Host field's value, names the authority of `url`: the
// same host and port, case and a default port aside.
bool names_authority(const std::string &url, std::string_view host);

// The parts of an absolute ws or wss URL free of control characters and
// spaces; nothing otherwise.
std::optional<WebSocketTarget> parse_websocket_url(std::string_view url);

// An engine's proxy address taken apart. Credentials in the URL are decoded.
struct ProxyTarget {
  std::string scheme;  // http, https, socks5 or socks5h
  std::string host;    // IPv6 without brackets
  uint16_t port = 0;
  std::string username;
  std::string password;
};

// Nothing when `proxy` does not parse or names another scheme. A missing
// port is 443 for https proxies and 1080 otherwise, as for requests.
std::optional<ProxyTarget> parse_proxy_url(const std::string &proxy);

}  // namespace hvcore
