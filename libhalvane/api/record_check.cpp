#include "api/record_check.h"

#include <curl/curl.h>

#include <algorithm>

#include "base/codes.h"
#include "base/curl_handles.h"
#include "base/http_text.h"
#include "base/url.h"
#include "profiles/profiles.h"
#include "tls/tls_store.h"

namespace hvcore {
namespace {

// A (pointer, length) pair; the pointer may be NULL only when the length is 0.
bool read_bytes(const uint8_t *data, uint32_t len, std::string &out) {
  if (len == 0) {
    out.clear();
    return true;
  }
  if (data == nullptr) return false;
  out.assign(reinterpret_cast<const char *>(data), len);
  return true;
}

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool proxy_url_ok(const std::string &proxy) {
  if (has_nul(proxy)) return false;
  const auto scheme = url_scheme(proxy);
  return scheme &&
         (*scheme == "http" || *scheme == "https" || *scheme == "socks5" || *scheme == "socks5h");
}

// A Sec-WebSocket-Protocol value given as a header: its comma-separated
// names join the requested sub-protocols.
bool add_protocols(std::string_view value, std::vector<std::string> &out) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view item = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    item = trim(item);
    if (!is_token(item)) return false;
    out.emplace_back(item);
  }
  return true;
}

// One header entry: a token name and a value free of CR, LF and NUL.
bool read_header(const hv_header &h, HeaderField &field) {
  return read_bytes(h.name, h.name_len, field.name) &&
         read_bytes(h.value, h.value_len, field.value) && is_token(field.name) &&
         is_header_value(field.value);
}

// The bytes a header adds to a head: "name: value" and CRLF.
size_t header_line_size(const hv_header &h) { return size_t{h.name_len} + h.value_len + 4; }

// Reads the header entries while the head stays within kMaxRequestHead;
// `head` holds what the rest of the head already uses. Each entry is looked
// at once, and an absurd count is refused before any is read.
template <typename Add>
bool read_headers(const hv_header *headers, uint32_t count, size_t head, Add add) {
  if (count > 0 && headers == nullptr) return false;
  if (count > kMaxRequestHead / 4 || head > kMaxRequestHead) return false;
  for (uint32_t i = 0; i < count; ++i) {
    head += header_line_size(headers[i]);
    HeaderField field;
    if (head > kMaxRequestHead || !read_header(headers[i], field) || !add(std::move(field)))
      return false;
  }
  return true;
}

}  // namespace

bool is_token(std::string_view text) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
           kSpecials.find(c) != std::string_view::npos;
  });
}

bool is_header_value(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && b != '\t') || b == 0x7f;
  });
}

int32_t read_engine_record(const hv_engine_record *r, EngineSettings &out) {
  if (r == nullptr || r->size < sizeof(hv_engine_record)) return kInvalidArgument;
  if (r->abi != HV_ABI_VERSION) return kUnsupportedAbi;

  std::string impersonate, ca_pem;
  if (!read_bytes(r->user_agent, r->user_agent_len, out.user_agent) ||
      !read_bytes(r->accept_language, r->accept_language_len, out.accept_language) ||
      !read_bytes(r->proxy, r->proxy_len, out.proxy) ||
      !read_bytes(r->proxy_username, r->proxy_username_len, out.proxy_username) ||
      !read_bytes(r->proxy_password, r->proxy_password_len, out.proxy_password) ||
      !read_bytes(r->impersonate, r->impersonate_len, impersonate) ||
      !read_bytes(r->profile_namespace, r->profile_namespace_len, out.profile_namespace) ||
      !read_bytes(r->ca_pem, r->ca_pem_len, ca_pem))
    return kInvalidArgument;

  // The two default headers join every request's head: they must not be able
  // to inject header lines, nor fill a head on their own.
  if (!is_header_value(out.user_agent) || !is_header_value(out.accept_language) ||
      out.user_agent.size() + out.accept_language.size() > kMaxRequestHead)
    return kInvalidArgument;
  if (!out.proxy.empty() && !proxy_url_ok(out.proxy)) return kInvalidArgument;
  if (has_nul(out.proxy_username) || has_nul(out.proxy_password)) return kInvalidArgument;
  if (r->disable_cache > 1) return kInvalidArgument;
  out.disable_cache = r->disable_cache == 1;

  if (r->http_version > HV_HTTP_VERSION_MAX) return kInvalidArgument;
  // HTTP/3 needs a libcurl that speaks it, and goes direct: no proxy
  // libcurl knows carries QUIC.
  if (r->http_version == HV_HTTP_3 && (!curl_speaks_http3() || !out.proxy.empty()))
    return kInvalidArgument;
  out.http_version = static_cast<HttpVersion>(r->http_version);

  if (r->tls_verification > HV_TLS_VERIFICATION_MAX) return kInvalidArgument;
  out.tls = static_cast<TlsVerification>(r->tls_verification);
  if (out.tls == TlsVerification::CustomCa) {
    out.ca = CaStore::from_pem(ca_pem);
    if (!out.ca) return kInvalidArgument;
  }

  // A profile the Core cannot reproduce must not silently give the plain
  // client.
  if (!impersonate.empty()) {
    out.profile = find_profile(impersonate);
    if (out.profile == nullptr) return kProfileUnsupported;
  }
  return kOk;
}

int32_t read_request_record(const hv_request_record *r, RequestSettings &out,
                            Callbacks &callbacks) {
  if (r == nullptr || r->size < sizeof(hv_request_record)) return kInvalidArgument;
  if (r->abi != HV_ABI_VERSION) return kUnsupportedAbi;
  if (r->callbacks.size < sizeof(hv_request_callbacks)) return kInvalidArgument;
  if (r->callbacks.abi != HV_ABI_VERSION) return kUnsupportedAbi;

  std::string url;
  if (!read_bytes(r->url, r->url_len, url) || !read_bytes(r->method, r->method_len, out.method))
    return kInvalidArgument;
  auto normalized = normalize_http_url(url);
  if (!normalized || !is_token(out.method)) return kInvalidArgument;
  out.url = std::move(*normalized);

  // The request line: method, target and version.
  const size_t line = out.method.size() + out.url.size() + 12;
  out.headers.clear();
  if (r->header_count <= kMaxRequestHead / 4) out.headers.reserve(r->header_count);
  if (!read_headers(r->headers, r->header_count, line, [&](HeaderField field) {
        out.headers.push_back(std::move(field));
        return true;
      }))
    return kInvalidArgument;

  if (r->body_kind > HV_BODY_KIND_MAX || r->cache_mode > HV_CACHE_MODE_MAX ||
      r->redirect_mode > HV_REDIRECT_MODE_MAX || r->priority > HV_PRIORITY_MAX)
    return kInvalidArgument;
  out.body_kind = static_cast<BodyKind>(r->body_kind);
  if (out.body_kind == BodyKind::Bytes) {
    if (r->body_len > 0 && r->body == nullptr) return kInvalidArgument;
    out.body.assign(r->body, r->body + r->body_len);
  }
  out.cache_mode = static_cast<CacheMode>(r->cache_mode);
  out.redirect_mode = static_cast<RedirectMode>(r->redirect_mode);
  out.priority = static_cast<Priority>(r->priority);
  out.timeout_ms = r->timeout_ms;
  out.connect_timeout_ms = 0;
  out.upload_length.reset();
  if (out.body_kind == BodyKind::Streamed) out.upload_length = declared_content_length(out.headers);

  callbacks.user = r->callbacks.user_data;
  callbacks.on_response = r->callbacks.on_response;
  callbacks.on_body = r->callbacks.on_body;
  callbacks.on_complete = r->callbacks.on_complete;
  callbacks.on_redirect = r->callbacks.on_redirect;
  return kOk;
}

std::optional<uint64_t> declared_content_length(const std::vector<HeaderField> &headers) {
  // At most 2^53 - 1, as far as any peer's arithmetic is sure to reach.
  constexpr uint64_t kMaxLength = (uint64_t{1} << 53) - 1;
  std::optional<uint64_t> length;
  for (const HeaderField &h : headers) {
    if (!iequals(h.name, "content-length")) continue;
    const std::string_view text = trim(h.value);
    if (text.empty() || text.size() > 16) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > kMaxLength || (length && *length != value)) return std::nullopt;
    length = value;
  }
  return length;
}

int32_t read_request_options(const hv_ext_request_options *options, RequestSettings &settings) {
  if (options == nullptr || options->size < sizeof(hv_ext_request_options)) return kInvalidArgument;
  settings.connect_timeout_ms = options->connect_timeout_ms;
  return kOk;
}

int32_t read_websocket_options(const hv_ext_websocket_options *options,
                               WebSocketSettings &settings) {
  if (options == nullptr || options->size < sizeof(hv_ext_websocket_options))
    return kInvalidArgument;
  // The whole message is held in memory: beyond this a peer could take
  // everything the process has.
  constexpr uint64_t kMostMessage = uint64_t{1} << 30;
  if (options->max_message_size > kMostMessage) return kInvalidArgument;
  settings.max_message_size = options->max_message_size;
  return kOk;
}

int32_t read_websocket_record(const hv_websocket_record *r, WebSocketSettings &out,
                              WebSocketCallbacks &callbacks) {
  if (r == nullptr || r->size < sizeof(hv_websocket_record)) return kInvalidArgument;
  if (r->abi != HV_ABI_VERSION) return kUnsupportedAbi;
  if (r->callbacks.size < sizeof(hv_websocket_callbacks)) return kInvalidArgument;
  if (r->callbacks.abi != HV_ABI_VERSION) return kUnsupportedAbi;

  std::string url;
  if (!read_bytes(r->url, r->url_len, url) || !read_bytes(r->origin, r->origin_len, out.origin))
    return kInvalidArgument;
  auto target = parse_websocket_url(url);
  if (!target || !is_header_value(out.origin)) return kInvalidArgument;
  out.target = std::move(*target);

  // Sub-protocol names are tokens: anything else could split or end the
  // header they travel in.
  size_t head = url.size() + out.origin.size() + 12;
  if (r->protocol_count > 0 && r->protocols == nullptr) return kInvalidArgument;
  if (r->protocol_count > kMaxRequestHead / 2) return kInvalidArgument;
  out.protocols.clear();
  for (uint32_t i = 0; i < r->protocol_count; ++i) {
    std::string name;
    head += size_t{r->protocols[i].name_len} + 2;
    if (head > kMaxRequestHead ||
        !read_bytes(r->protocols[i].name, r->protocols[i].name_len, name) || !is_token(name))
      return kInvalidArgument;
    out.protocols.push_back(std::move(name));
  }

  out.headers.clear();
  if (!read_headers(r->headers, r->header_count, head, [&](HeaderField field) {
        if (iequals(field.name, "sec-websocket-protocol"))
          return add_protocols(field.value, out.protocols);
        out.headers.push_back(std::move(field));
        return true;
      }))
    return kInvalidArgument;
  // The server answers with one of them; the same name twice is a mistake.
  std::vector<std::string_view> sorted(out.protocols.begin(), out.protocols.end());
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return kInvalidArgument;
  out.timeout_ms = r->timeout_ms;

  callbacks.user = r->callbacks.user_data;
  callbacks.on_open = r->callbacks.on_open;
  callbacks.on_message = r->callbacks.on_message;
  callbacks.on_closing = r->callbacks.on_closing;
  callbacks.on_closed = r->callbacks.on_closed;
  callbacks.on_failure = r->callbacks.on_failure;
  return kOk;
}

}  // namespace hvcore
