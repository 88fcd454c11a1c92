#include "client/cookies.h"

#include <algorithm>
#include <new>

#include "client/core_extensions.h"
#include "client/engine.h"

namespace halvane {
namespace {

// The jar's lines hold a cookie as tab-separated fields; a browser takes
// name and value together up to this size.
constexpr size_t kMaxNameAndValue = 4096;

bool has_control(const std::string &text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

std::optional<std::string> text_refusal(const char *what, const std::string &text) {
  if (has_control(text)) return std::string(what) + " contains a control character";
  if (text.find(';') != std::string::npos) return std::string(what) + " contains ';'";
  return std::nullopt;
}

const uint8_t *bytes(const std::string &text) {
  return reinterpret_cast<const uint8_t *>(text.data());
}

std::string text(const uint8_t *data, uint32_t len) {
  return len == 0 ? std::string() : std::string(reinterpret_cast<const char *>(data), len);
}

struct Collected {
  std::vector<Cookie> cookies;
  bool failed = false;
};

// Called by the Core for each cookie; nothing may escape into the Core.
void collect(void *user, const hv_ext_cookie *record) {
  auto *out = static_cast<Collected *>(user);
  if (out->failed || record == nullptr) return;
  try {
    Cookie c;
    c.name = text(record->name, record->name_len);
    c.value = text(record->value, record->value_len);
    c.domain = text(record->domain, record->domain_len);
    c.path = text(record->path, record->path_len);
    c.secure = record->secure != 0;
    c.http_only = record->http_only != 0;
    c.host_only = record->host_only != 0;
    if (record->expires != 0) c.expires = record->expires;
    out->cookies.push_back(std::move(c));
  } catch (...) {
    out->failed = true;
  }
}

bool fits(const std::string &s) { return s.size() <= UINT32_MAX; }

}  // namespace

std::optional<std::string> cookie_refusal(const Cookie &cookie) {
  if (cookie.name.empty()) return "empty name";
  if (auto why = text_refusal("name", cookie.name)) return why;
  if (cookie.name.find('=') != std::string::npos) return "name contains '='";
  if (cookie.name.find_first_of(" ") != std::string::npos) return "name contains a space";
  if (cookie.name.front() == '#') return "name begins with '#'";
  if (auto why = text_refusal("value", cookie.value)) return why;
  if (cookie.name.size() + cookie.value.size() > kMaxNameAndValue)
    return "name and value longer than 4096 bytes";
  std::string_view domain = cookie.domain;
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  if (domain.empty()) return "empty domain";
  if (auto why = text_refusal("domain", cookie.domain)) return why;
  if (domain.find_first_of(" /") != std::string_view::npos) return "domain is not a host name";
  if (cookie.path.empty() || cookie.path.front() != '/') return "path does not begin with '/'";
  if (auto why = text_refusal("path", cookie.path)) return why;
  if (cookie.expires && *cookie.expires <= 0) return "expires is not after 1970";
  return std::nullopt;
}

Result<std::vector<Cookie>> list_cookies(const Engine &engine) {
  const auto list = core_extensions().cookies_list;
  if (list == nullptr) return Error::Kind::InvalidState;
  Collected collected;
  if (auto err = Error::from_code(list(engine.handle(), &collect, &collected))) return *err;
  if (collected.failed) return Error::Kind::OutOfMemory;
  return std::move(collected.cookies);
}

Status set_cookie(const Engine &engine, const Cookie &cookie) {
  const auto set = core_extensions().cookie_set;
  if (set == nullptr) return Error::Kind::InvalidState;
  if (cookie_refusal(cookie)) return Error::Kind::InvalidArgument;
  hv_ext_cookie record{};
  record.size = sizeof record;
  record.name = bytes(cookie.name);
  record.name_len = static_cast<uint32_t>(cookie.name.size());
  record.value = bytes(cookie.value);
  record.value_len = static_cast<uint32_t>(cookie.value.size());
  record.domain = bytes(cookie.domain);
  record.domain_len = static_cast<uint32_t>(cookie.domain.size());
  record.path = bytes(cookie.path);
  record.path_len = static_cast<uint32_t>(cookie.path.size());
  record.secure = cookie.secure ? 1 : 0;
  record.http_only = cookie.http_only ? 1 : 0;
  record.host_only = cookie.host_only ? 1 : 0;
  record.expires = cookie.expires.value_or(0);
  return check(set(engine.handle(), &record));
}

Result<uint32_t> delete_cookies(const Engine &engine, const CookieFilter &filter) {
  const auto remove = core_extensions().cookies_delete;
  if (remove == nullptr) return Error::Kind::InvalidState;
  for (const auto *given : {&filter.domain, &filter.path, &filter.name})
    if (*given && !fits(**given)) return Error::Kind::InvalidArgument;
  // A filter given as "" is passed as a non-null pointer, unlike none; a
  // static byte serves where the text has no storage of its own.
  static const uint8_t kEmpty = 0;
  auto ptr = [](const std::optional<std::string> &s) -> const uint8_t * {
    if (!s) return nullptr;
    return s->empty() ? &kEmpty : bytes(*s);
  };
  auto len = [](const std::optional<std::string> &s) {
    return s ? static_cast<uint32_t>(s->size()) : 0u;
  };
  uint32_t removed = 0;
  const int32_t code =
      remove(engine.handle(), ptr(filter.domain), len(filter.domain), ptr(filter.path),
             len(filter.path), ptr(filter.name), len(filter.name), &removed);
  if (auto err = Error::from_code(code)) return *err;
  return removed;
}

}  // namespace halvane
