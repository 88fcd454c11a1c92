#include "fake_state.h"

#include <cstring>

namespace fake {

State &state() {
  static State *s = new State();  // never destroyed: callbacks may outlive main
  return *s;
}

int32_t enter(const char *fn) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  ++s.calls[fn];
  auto &queue = s.results[fn];
  if (queue.empty()) return 0;
  const int32_t code = queue.front();
  queue.pop_front();
  return code;
}

uint64_t next_handle(const char *fn) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  auto &queue = s.handles[fn];
  if (queue.empty()) return s.next_handle++;
  const uint64_t handle = queue.front();
  queue.pop_front();
  return handle;
}

Object *live_object(uint64_t handle, ObjectKind kind) {
  State &s = state();
  auto it = s.objects.find(handle);
  if (it == s.objects.end() || it->second.released || it->second.kind != kind) {
    ++s.misuse;
    return nullptr;
  }
  return &it->second;
}

const char *kind_name(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Engine:
      return "engine";
    case ObjectKind::Request:
      return "request";
    case ObjectKind::WebSocket:
      return "websocket";
  }
  return "?";
}

Text capture(const uint8_t *ptr, uint32_t len) {
  Text t;
  t.is_null = ptr == nullptr;
  t.len = len;
  if (ptr != nullptr && len > 0) t.bytes.assign(reinterpret_cast<const char *>(ptr), len);
  return t;
}

namespace {

std::string hex_of(const std::string &bytes) {
  static const char *digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

std::string json(const Text &t) {
  return std::string("{\"null\": ") + (t.is_null ? "true" : "false") +
         ", \"len\": " + std::to_string(t.len) + ", \"hex\": \"" + hex_of(t.bytes) + "\"}";
}

std::string json(const std::vector<HeaderEntry> &headers) {
  std::string out = "[";
  for (size_t i = 0; i < headers.size(); ++i) {
    if (i) out += ", ";
    out += "[" + json(headers[i].name) + ", " + json(headers[i].value) + "]";
  }
  return out + "]";
}

struct Obj {
  std::string out = "{";
  Obj &field(const char *name, const std::string &value) {
    if (out.size() > 1) out += ", ";
    out += std::string("\"") + name + "\": " + value;
    return *this;
  }
  Obj &num(const char *name, uint64_t v) { return field(name, std::to_string(v)); }
  Obj &flag(const char *name, bool v) { return field(name, v ? "true" : "false"); }
  Obj &text(const char *name, const Text &t) { return field(name, json(t)); }
  // The extension options appear only for records made through them, so
  // that base records read as before.
  Obj &ext_request(const RequestRecord &r) {
    if (r.options_size == 0) return *this;
    return num("options_size", r.options_size).num("connect_timeout_ms", r.connect_timeout_ms);
  }
  Obj &ext_websocket(const WebSocketRecord &r) {
    if (r.options_size == 0) return *this;
    return num("options_size", r.options_size).num("max_message_size", r.max_message_size);
  }
  std::string str() const { return out + "}"; }
};

}  // namespace

std::string to_json(const EngineRecord &r) {
  return Obj()
      .num("size", r.size)
      .num("abi", r.abi)
      .text("user_agent", r.user_agent)
      .text("proxy", r.proxy)
      .text("proxy_username", r.proxy_username)
      .text("proxy_password", r.proxy_password)
      .num("disable_cache", r.disable_cache)
      .text("accept_language", r.accept_language)
      .text("impersonate", r.impersonate)
      .text("profile_namespace", r.profile_namespace)
      .num("http_version", r.http_version)
      .num("tls_verification", r.tls_verification)
      .text("ca_pem", r.ca_pem)
      .str();
}

std::string to_json(const RequestRecord &r) {
  return Obj()
      .num("size", r.size)
      .num("abi", r.abi)
      .text("url", r.url)
      .text("method", r.method)
      .flag("headers_null", r.headers_null)
      .num("header_count", r.header_count)
      .field("headers", json(r.headers))
      .num("timeout_ms", r.timeout_ms)
      .num("callbacks_size", r.callbacks_size)
      .num("callbacks_abi", r.callbacks_abi)
      .flag("user_data_null", r.callbacks.user_data == nullptr)
      .text("body", r.body)
      .num("body_kind", r.body_kind)
      .num("cache_mode", r.cache_mode)
      .num("redirect_mode", r.redirect_mode)
      .num("priority", r.priority)
      .ext_request(r)
      .str();
}

std::string to_json(const UploadWrite &w) {
  return Obj()
      .flag("null", w.data.is_null)
      .num("len", w.data.len)
      .field("hex", "\"" + hex_of(w.data.bytes) + "\"")
      .num("final", w.final_chunk)
      .str();
}

std::string to_json(const WebSocketRecord &r) {
  std::string protocols = "[";
  for (size_t i = 0; i < r.protocols.size(); ++i)
    protocols += (i ? ", " : "") + json(r.protocols[i]);
  protocols += "]";
  return Obj()
      .num("size", r.size)
      .num("abi", r.abi)
      .text("url", r.url)
      .text("origin", r.origin)
      .flag("protocols_null", r.protocols_null)
      .num("protocol_count", r.protocol_count)
      .field("protocols", protocols)
      .flag("headers_null", r.headers_null)
      .num("header_count", r.header_count)
      .field("headers", json(r.headers))
      .num("callbacks_size", r.callbacks_size)
      .num("callbacks_abi", r.callbacks_abi)
      .flag("user_data_null", r.callbacks.user_data == nullptr)
      .num("timeout_ms", r.timeout_ms)
      .ext_websocket(r)
      .str();
}

}  // namespace fake
