#include "url.h"

#include <algorithm>
#include <cctype>

#include "curl_handles.h"

namespace hvcore {
namespace {

UrlPtr parse(const std::string &url, unsigned flags) {
  UrlPtr h(curl_url());
  if (!h || curl_url_set(h.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK) return nullptr;
  return h;
}

std::optional<std::string> get(CURLU *h, CURLUPart part, unsigned flags = 0) {
  char *out = nullptr;
  if (curl_url_get(h, part, &out, flags) != CURLUE_OK || out == nullptr) return std::nullopt;
  CurlString owned(out);
  return std::string(owned.get());
}

bool is_http(const std::optional<std::string> &scheme) {
  return scheme && (*scheme == "http" || *scheme == "https");
}

}  // namespace

std::optional<std::string> normalize_http_url(std::string_view url) {
  // Controls, spaces and DEL never belong in a request line.
  if (url.empty() || std::any_of(url.begin(), url.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7f;
      }))
    return std::nullopt;
  UrlPtr h = parse(std::string(url), CURLU_URLENCODE);
  if (!h || !is_http(get(h.get(), CURLUPART_SCHEME))) return std::nullopt;
  auto host = get(h.get(), CURLUPART_HOST);
  if (!host || host->empty()) return std::nullopt;
  return get(h.get(), CURLUPART_URL);
}

std::optional<std::string> resolve_url(const std::string &base, std::string_view reference) {
  UrlPtr h = parse(base, 0);
  if (!h) return std::nullopt;
  const std::string ref(reference);
  if (ref.find('\0') != std::string::npos) return std::nullopt;
  if (curl_url_set(h.get(), CURLUPART_URL, ref.c_str(),
                   CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::nullopt;
  return get(h.get(), CURLUPART_URL);
}

bool has_http_scheme(const std::string &url) {
  UrlPtr h = parse(url, CURLU_NON_SUPPORT_SCHEME);
  return h && is_http(get(h.get(), CURLUPART_SCHEME));
}

std::optional<std::string> url_scheme(const std::string &url) {
  UrlPtr h = parse(url, CURLU_NON_SUPPORT_SCHEME);
  if (!h) return std::nullopt;
  return get(h.get(), CURLUPART_SCHEME);
}

std::string url_origin(const std::string &url) {
  UrlPtr h = parse(url, CURLU_NON_SUPPORT_SCHEME);
  if (!h) return {};
  auto scheme = get(h.get(), CURLUPART_SCHEME);
  auto host = get(h.get(), CURLUPART_HOST);
  auto port = get(h.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host) return {};
  std::string lower = *host;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return *scheme + "://" + lower + ":" + port.value_or("");
}

}  // namespace hvcore
