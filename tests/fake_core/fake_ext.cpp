// The extensions of our own Core (hv_ext_* in hv_abi.h), in the stand-in
// that has them: requests and WebSockets made with options (recorded beside
// the base record), a scripted cache state, a plain cookie jar per engine,
// and recorded pings. The second stand-in build leaves this file out, so
// that tests see a Core without them.
#include <algorithm>

#include "fake_state.h"

using namespace fake;

namespace {

std::string text(const uint8_t *data, uint32_t len) {
  return data == nullptr ? std::string() : std::string(reinterpret_cast<const char *>(data), len);
}

bool jar_text(const std::string &s) {
  return std::none_of(s.begin(), s.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == ';';
  });
}

std::string ping_json(const Text &t) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : t.bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return std::string("{\"null\": ") + (t.is_null ? "true" : "false") +
         ", \"len\": " + std::to_string(t.len) + ", \"hex\": \"" + hex + "\"}";
}

}  // namespace

extern "C" {

int32_t hv_ext_request_create(hv_handle engine, const hv_request_record *record,
                              const hv_ext_request_options *options, hv_handle *out_request) {
  return create_request("hv_ext_request_create", engine, record, options, out_request);
}

int32_t hv_ext_websocket_create(hv_handle engine, const hv_websocket_record *record,
                                const hv_ext_websocket_options *options, hv_handle *out_websocket) {
  return create_websocket("hv_ext_websocket_create", engine, record, options, out_websocket);
}

int32_t hv_ext_request_cache_state(hv_handle request, uint32_t *out_state) {
  const int32_t code = enter("hv_ext_request_cache_state");
  std::lock_guard lock(state().mutex);
  Object *obj = live_object(request, ObjectKind::Request);
  if (out_state != nullptr) *out_state = obj ? obj->cache_state : HV_EXT_CACHE_STATE_UNKNOWN;
  return code;
}

int32_t hv_ext_websocket_ping(hv_handle websocket, const uint8_t *data, uint32_t len) {
  const int32_t code = enter("hv_ext_websocket_ping");
  std::lock_guard lock(state().mutex);
  if (Object *obj = live_object(websocket, ObjectKind::WebSocket))
    obj->pings.push_back(capture(data, len));
  return code;
}

int32_t hv_ext_cookies_list(hv_handle engine, hv_ext_cookie_fn fn, void *user) {
  const int32_t code = enter("hv_ext_cookies_list");
  std::vector<JarCookie> jar;
  {
    std::lock_guard lock(state().mutex);
    Object *obj = live_object(engine, ObjectKind::Engine);
    if (obj == nullptr) return HV_ERR_INVALID_ARGUMENT;
    if (code != HV_OK) return code;
    jar = obj->jar;
  }
  // Without the stand-in's mutex: the callback is the module's code.
  for (const JarCookie &c : jar) {
    hv_ext_cookie record{};
    record.size = sizeof record;
    record.name = reinterpret_cast<const uint8_t *>(c.name.data());
    record.name_len = static_cast<uint32_t>(c.name.size());
    record.value = reinterpret_cast<const uint8_t *>(c.value.data());
    record.value_len = static_cast<uint32_t>(c.value.size());
    record.domain = reinterpret_cast<const uint8_t *>(c.domain.data());
    record.domain_len = static_cast<uint32_t>(c.domain.size());
    record.path = reinterpret_cast<const uint8_t *>(c.path.data());
    record.path_len = static_cast<uint32_t>(c.path.size());
    record.secure = c.secure;
    record.http_only = c.http_only;
    record.host_only = c.host_only;
    record.expires = c.expires;
    fn(user, &record);
  }
  return HV_OK;
}

int32_t hv_ext_cookie_set(hv_handle engine, const hv_ext_cookie *cookie) {
  const int32_t code = enter("hv_ext_cookie_set");
  if (cookie == nullptr || cookie->size < sizeof(hv_ext_cookie)) return HV_ERR_INVALID_ARGUMENT;
  JarCookie c{text(cookie->name, cookie->name_len),
              text(cookie->value, cookie->value_len),
              text(cookie->domain, cookie->domain_len),
              text(cookie->path, cookie->path_len),
              cookie->secure != 0,
              cookie->http_only != 0,
              cookie->host_only != 0,
              cookie->expires};
  // The same refusals as the networked Core's jar, which cannot hold these.
  if (c.name.empty() || c.domain.empty() || c.path.empty() || c.path[0] != '/' ||
      !jar_text(c.name) || !jar_text(c.value) || !jar_text(c.domain) || !jar_text(c.path))
    return HV_ERR_INVALID_ARGUMENT;
  std::lock_guard lock(state().mutex);
  Object *obj = live_object(engine, ObjectKind::Engine);
  if (obj == nullptr) return HV_ERR_INVALID_ARGUMENT;
  if (code != HV_OK) return code;
  auto same = [&](const JarCookie &o) {
    return o.name == c.name && o.domain == c.domain && o.path == c.path;
  };
  auto it = std::find_if(obj->jar.begin(), obj->jar.end(), same);
  if (it != obj->jar.end())
    *it = std::move(c);
  else
    obj->jar.push_back(std::move(c));
  return HV_OK;
}

int32_t hv_ext_cookies_delete(hv_handle engine, const uint8_t *domain, uint32_t domain_len,
                              const uint8_t *path, uint32_t path_len, const uint8_t *name,
                              uint32_t name_len, uint32_t *out_count) {
  const int32_t code = enter("hv_ext_cookies_delete");
  if (out_count != nullptr) *out_count = 0;
  std::lock_guard lock(state().mutex);
  Object *obj = live_object(engine, ObjectKind::Engine);
  if (obj == nullptr) return HV_ERR_INVALID_ARGUMENT;
  if (code != HV_OK) return code;
  auto matches = [&](const JarCookie &c) {
    return (domain == nullptr || c.domain == text(domain, domain_len)) &&
           (path == nullptr || c.path == text(path, path_len)) &&
           (name == nullptr || c.name == text(name, name_len));
  };
  const auto removed = std::erase_if(obj->jar, matches);
  if (out_count != nullptr) *out_count = static_cast<uint32_t>(removed);
  return HV_OK;
}

// ---- control ---------------------------------------------------------------

void fake_set_cache_state(uint64_t request, uint32_t cache_state) {
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(request);
  if (it != state().objects.end()) it->second.cache_state = cache_state;
}

uint64_t fake_websocket_ping_count(uint64_t websocket) {
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(websocket);
  return it == state().objects.end() ? 0 : it->second.pings.size();
}

const char *fake_websocket_ping_json(uint64_t websocket, uint64_t index) {
  static thread_local std::string json;
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(websocket);
  if (it == state().objects.end() || index >= it->second.pings.size()) return "null";
  json = ping_json(it->second.pings[index]);
  return json.c_str();
}

}  // extern "C"
