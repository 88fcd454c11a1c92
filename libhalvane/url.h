// URL handling on libcurl's parser: requests accept absolute http and https
// URLs only, and redirects resolve their Location against the current URL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

}  // namespace hvcore
