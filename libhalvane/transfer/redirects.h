// The rules for following a redirect: which responses are redirects, what the
// next request's method and body are, and which caller headers go along.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

namespace hvcore {

constexpr int kMaxRedirects = 20;

// 301, 302, 303, 307 and 308 are redirects when they carry a Location.
bool is_redirect_status(int status);

// The method of the request that follows a redirect: 303 turns everything
// but HEAD into GET, 301 and 302 turn POST into GET, the rest keep it.
std::string redirect_method(int status, const std::string &method);

// Headers for the next hop. `drop_credentials` removes Authorization and
// Cookie (the next hop is another origin); `drop_body` removes the headers
// that describe the body that is no longer sent.
void strip_redirect_headers(std::vector<HeaderField> &headers, bool drop_credentials,
                            bool drop_body);

}  // namespace hvcore
