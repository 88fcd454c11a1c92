#include "transfer/redirects.h"

#include <algorithm>
#include <array>

#include "base/header_block.h"

namespace hvcore {

bool is_redirect_status(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string redirect_method(int status, const std::string &method) {
  if (status == 303 && method != "HEAD") return "GET";
  if ((status == 301 || status == 302) && method == "POST") return "GET";
  return method;
}

void strip_redirect_headers(std::vector<HeaderField> &headers, bool drop_credentials,
                            bool drop_body) {
  static constexpr std::array<std::string_view, 2> kCredentials = {"authorization", "cookie"};
  static constexpr std::array<std::string_view, 5> kBodyHeaders = {
      "content-type", "content-length", "content-encoding", "content-language", "content-location"};
  auto listed = [](const auto &names, const std::string &name) {
    return std::any_of(names.begin(), names.end(),
                       [&](std::string_view n) { return iequals(n, name); });
  };
  std::erase_if(headers, [&](const HeaderField &h) {
    return (drop_credentials && listed(kCredentials, h.name)) ||
           (drop_body && listed(kBodyHeaders, h.name));
  });
}

}  // namespace hvcore
