#include "url.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

bool has_control_or_space(std::string_view url) {
  return std::any_of(url.begin(), url.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b <= 0x20 || b == 0x7f;
  });
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// "[::1]" as curl gives IPv6 hosts, without the brackets.
std::string bare_host(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

std::optional<uint16_t> explicit_port(CURLU *h) {
  auto text = get(h, CURLUPART_PORT);
  if (!text) return std::nullopt;
  const unsigned long value = std::strtoul(text->c_str(), nullptr, 10);
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool is_http(const std::optional<std::string> &scheme) {
  return scheme && (*scheme == "http" || *scheme == "https");
}

}  // namespace

std::optional<std::string> normalize_http_url(std::string_view url) {
  // Controls, spaces and DEL never belong in a request line.
  if (url.empty() || has_control_or_space(url)) return std::nullopt;
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
  return *scheme + "://" + lower(*host) + ":" + port.value_or("");
}

std::optional<WebSocketTarget> parse_websocket_url(std::string_view url) {
  if (url.empty() || has_control_or_space(url)) return std::nullopt;
  UrlPtr h = parse(std::string(url), CURLU_URLENCODE | CURLU_NON_SUPPORT_SCHEME);
  if (!h) return std::nullopt;
  const auto scheme = get(h.get(), CURLUPART_SCHEME);
  // An international name in its ASCII form, as libcurl sends it for requests
  // (DNS, CONNECT, SNI, certificate, Host).
  const auto host = get(h.get(), CURLUPART_HOST, CURLU_PUNYCODE);
  if (!scheme || (*scheme != "ws" && *scheme != "wss") || !host || host->empty())
    return std::nullopt;

  WebSocketTarget target;
  target.secure = *scheme == "wss";
  target.host = bare_host(*host);
  const uint16_t default_port = target.secure ? 443 : 80;
  if (get(h.get(), CURLUPART_PORT) && !explicit_port(h.get())) return std::nullopt;
  target.port = explicit_port(h.get()).value_or(default_port);
  target.host_header = *host;
  if (target.port != default_port) target.host_header += ":" + std::to_string(target.port);
  // The fragment is never sent.
  target.resource = get(h.get(), CURLUPART_PATH).value_or("/");
  if (target.resource.empty()) target.resource = "/";
  if (auto query = get(h.get(), CURLUPART_QUERY)) target.resource += "?" + *query;
  auto normalized = get(h.get(), CURLUPART_URL, CURLU_PUNYCODE);
  if (!normalized) return std::nullopt;
  target.url = std::move(*normalized);
  return target;
}

std::optional<ProxyTarget> parse_proxy_url(const std::string &proxy) {
  UrlPtr h = parse(proxy, CURLU_NON_SUPPORT_SCHEME);
  if (!h) return std::nullopt;
  const auto scheme = get(h.get(), CURLUPART_SCHEME);
  const auto host = get(h.get(), CURLUPART_HOST, CURLU_PUNYCODE);
  if (!scheme || !host || host->empty()) return std::nullopt;
  ProxyTarget target;
  target.scheme = lower(*scheme);
  if (target.scheme != "http" && target.scheme != "https" && target.scheme != "socks5" &&
      target.scheme != "socks5h")
    return std::nullopt;
  target.host = bare_host(*host);
  if (get(h.get(), CURLUPART_PORT) && !explicit_port(h.get())) return std::nullopt;
  target.port = explicit_port(h.get()).value_or(target.scheme == "https" ? 443 : 1080);
  target.username = get(h.get(), CURLUPART_USER, CURLU_URLDECODE).value_or("");
  target.password = get(h.get(), CURLUPART_PASSWORD, CURLU_URLDECODE).value_or("");
  return target;
}

}  // namespace hvcore
