#include "base/url.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/curl_handles.h"
#include "base/http_text.h"

namespace hvcore {
namespace {

UrlPtr parse(const std::string &url, unsigned flags) {
  UrlPtr h(curl_url());
  if (!h || curl_url_set(h.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK) return nullptr;
  return h;
}

std::optional<std::string> get(CURLU *h, CURLUPart part, unsigned flags = 0) {
#ifdef CURLU_GET_EMPTY
  // An empty query is sent with its '?'; libcurl 8.8 on reports it only when
  // asked.
  if (part == CURLUPART_QUERY) flags |= CURLU_GET_EMPTY;
#endif
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

bool is_unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool is_reserved(unsigned char c) {
  return c != '\0' && std::string_view(":/?#[]@!$&'()*+,;=").find(static_cast<char>(c)) !=
                          std::string_view::npos;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One spelling for characters that may be written plain or percent-encoded
// (RFC 3986 6.2.2.1 and 6.2.2.2): unreserved ones plain, the others encoded
// with upper-case digits. Reserved characters keep their form, which matters.
std::string normal_encoding(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto encode = [&](unsigned char byte) {
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
        hex_digit(text[i + 2]) >= 0) {
      const auto byte =
          static_cast<unsigned char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      if (is_unreserved(byte))
        out += static_cast<char>(byte);
      else
        encode(byte);
      i += 2;
    } else if (is_unreserved(c) || is_reserved(c) || c == '%') {
      out += static_cast<char>(c);  // a '%' that encodes nothing is sent as it is
    } else {
      encode(c);
    }
  }
  return out;
}

// RFC 3986 5.2.4 on an absolute path. libcurl removes the literal
// dot-segments; these are the ones that were percent-encoded.
std::string without_dot_segments(std::string_view path) {
  std::vector<std::string_view> segments;
  bool ends_in_directory = false;
  path.remove_prefix(1);  // the leading '/'
  while (true) {
    const size_t slash = path.find('/');
    const std::string_view segment = path.substr(0, slash);
    const bool last = slash == std::string_view::npos;
    ends_in_directory = last && (segment == "." || segment == "..");
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (segment != ".") {
      segments.push_back(segment);
    }
    if (last) break;
    path.remove_prefix(slash + 1);
  }
  std::string out;
  for (std::string_view segment : segments) out.append("/").append(segment);
  if (out.empty() || (ends_in_directory && out.back() != '/')) out += '/';
  return out;
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

std::optional<std::string> cache_key(std::string_view url) {
  if (url.empty() || has_control_or_space(url)) return std::nullopt;
  // Parsed as requests are, so that a key names what would be sent.
  UrlPtr h = parse(std::string(url), CURLU_URLENCODE);
  if (!h) return std::nullopt;
  const auto scheme = get(h.get(), CURLUPART_SCHEME);
  const auto host = get(h.get(), CURLUPART_HOST);
  if (!is_http(scheme) || !host || host->empty()) return std::nullopt;
  std::string key = lower(*scheme) + "://" + lower(*host);
  if (auto port = get(h.get(), CURLUPART_PORT, CURLU_NO_DEFAULT_PORT)) key += ":" + *port;
  const std::string path = get(h.get(), CURLUPART_PATH).value_or("");
  key += path.empty() || path.front() != '/' ? "/" : without_dot_segments(normal_encoding(path));
  if (auto query = get(h.get(), CURLUPART_QUERY)) key += "?" + normal_encoding(*query);
  return key;
}

bool names_authority(const std::string &url, std::string_view host) {
  host = trim(host);
  // A bare authority only: anything else would parse as more of a URL, or be
  // decoded, while the server reads the field as it is.
  if (host.empty() || has_control_or_space(host) ||
      host.find_first_of("/?#@%\\") != std::string_view::npos)
    return false;
  const auto scheme = url_scheme(url);
  if (!scheme) return false;
  const auto named = cache_key(*scheme + "://" + std::string(host) + "/");
  const auto own = cache_key(url);
  // "scheme://authority/" opens the URL's key only when the authorities agree.
  return named && own && own->compare(0, named->size(), *named) == 0;
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
