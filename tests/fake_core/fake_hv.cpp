// The hv_* entry points of the stand-in Core: record what they are given and
// answer as scripted.
#include <cstring>

#include "fake_state.h"
#include "fake_websocket.h"

using namespace fake;

namespace {

std::vector<HeaderEntry> capture_headers(const hv_header *headers, uint32_t count) {
  std::vector<HeaderEntry> out;
  if (headers == nullptr) return out;
  for (uint32_t i = 0; i < count; ++i)
    out.push_back({capture(headers[i].name, headers[i].name_len),
                   capture(headers[i].value, headers[i].value_len)});
  return out;
}

// Shared tail of the three create calls: scripted result and handle, and
// registration of the new object on success.
int32_t finish_create(const char *fn, ObjectKind kind, hv_handle *out,
                      const hv_request_callbacks *rc, const hv_websocket_callbacks *wc) {
  const int32_t code = enter(fn);
  State &s = state();
  std::lock_guard lock(s.mutex);
  uint64_t handle = 0;
  auto &queue = s.handles[fn];
  if (!queue.empty()) {
    handle = queue.front();
    queue.pop_front();
  } else if (code == HV_OK) {
    handle = s.next_handle++;
  }
  if (out != nullptr) *out = static_cast<hv_handle>(handle);
  if (code == HV_OK && handle != 0) {
    Object obj{};
    obj.kind = kind;
    if (rc) obj.request_callbacks = *rc;
    if (wc) obj.websocket_callbacks = *wc;
    s.objects[handle] = obj;
  }
  return code;
}

// A call on an existing object: counted, checked, then whatever a test armed
// for it runs inside the call. `update` sees the live object (or NULL) under
// the state mutex.
template <typename Update>
int32_t object_call(const char *fn, hv_handle handle, ObjectKind kind, Update &&update) {
  const int32_t code = enter(fn);
  {
    std::lock_guard lock(state().mutex);
    update(live_object(handle, kind), code);
  }
  run_armed(handle, fn);
  return code;
}

int32_t simple_call(const char *fn, hv_handle handle, ObjectKind kind) {
  return object_call(fn, handle, kind, [](Object *, int32_t) {});
}

void release_call(const char *fn, hv_handle handle, ObjectKind kind) {
  object_call(fn, handle, kind, [](Object *obj, int32_t) {
    if (obj) obj->released = true;
  });
}

}  // namespace

namespace fake {

int32_t create_request(const char *fn, hv_handle engine, const hv_request_record *r,
                       const hv_ext_request_options *options, hv_handle *out) {
  RequestRecord rec;
  rec.engine = engine;
  if (r != nullptr) {
    rec.size = r->size;
    rec.abi = r->abi;
    rec.url = capture(r->url, r->url_len);
    rec.method = capture(r->method, r->method_len);
    rec.headers_null = r->headers == nullptr;
    rec.header_count = r->header_count;
    rec.headers = capture_headers(r->headers, r->header_count);
    rec.timeout_ms = r->timeout_ms;
    rec.callbacks_size = r->callbacks.size;
    rec.callbacks_abi = r->callbacks.abi;
    rec.callbacks = r->callbacks;
    rec.body = capture(r->body, r->body_len);
    rec.body_kind = r->body_kind;
    rec.cache_mode = r->cache_mode;
    rec.redirect_mode = r->redirect_mode;
    rec.priority = r->priority;
  }
  if (options != nullptr) {
    rec.options_size = options->size;
    rec.connect_timeout_ms = options->connect_timeout_ms;
  }
  {
    std::lock_guard lock(state().mutex);
    state().requests.push_back(rec);
  }
  return finish_create(fn, ObjectKind::Request, out, r ? &r->callbacks : nullptr, nullptr);
}

int32_t create_websocket(const char *fn, hv_handle engine, const hv_websocket_record *r,
                         const hv_ext_websocket_options *options, hv_handle *out) {
  WebSocketRecord rec;
  rec.engine = engine;
  if (r != nullptr) {
    rec.size = r->size;
    rec.abi = r->abi;
    rec.url = capture(r->url, r->url_len);
    rec.origin = capture(r->origin, r->origin_len);
    rec.protocols_null = r->protocols == nullptr;
    rec.protocol_count = r->protocol_count;
    if (r->protocols)
      for (uint32_t i = 0; i < r->protocol_count; ++i)
        rec.protocols.push_back(capture(r->protocols[i].name, r->protocols[i].name_len));
    rec.headers_null = r->headers == nullptr;
    rec.header_count = r->header_count;
    rec.headers = capture_headers(r->headers, r->header_count);
    rec.callbacks_size = r->callbacks.size;
    rec.callbacks_abi = r->callbacks.abi;
    rec.callbacks = r->callbacks;
    rec.timeout_ms = r->timeout_ms;
  }
  if (options != nullptr) {
    rec.options_size = options->size;
    rec.max_message_size = options->max_message_size;
  }
  {
    std::lock_guard lock(state().mutex);
    state().websockets.push_back(rec);
  }
  return finish_create(fn, ObjectKind::WebSocket, out, nullptr, r ? &r->callbacks : nullptr);
}

}  // namespace fake

extern "C" {

uint32_t hv_abi_version(void) {
  enter("hv_abi_version");
  std::lock_guard lock(state().mutex);
  return state().abi;
}

const char *hv_version_string(void) {
  enter("hv_version_string");
  std::lock_guard lock(state().mutex);
  // Never freed while the process runs: the caller may keep the pointer.
  static thread_local std::string copy;
  if (!state().version) return nullptr;
  copy = *state().version;
  return copy.c_str();
}

int32_t hv_engine_create(const hv_engine_record *r, hv_handle *out) {
  EngineRecord rec;
  if (r != nullptr) {
    rec.size = r->size;
    rec.abi = r->abi;
    rec.user_agent = capture(r->user_agent, r->user_agent_len);
    rec.proxy = capture(r->proxy, r->proxy_len);
    rec.proxy_username = capture(r->proxy_username, r->proxy_username_len);
    rec.proxy_password = capture(r->proxy_password, r->proxy_password_len);
    rec.disable_cache = r->disable_cache;
    rec.accept_language = capture(r->accept_language, r->accept_language_len);
    rec.impersonate = capture(r->impersonate, r->impersonate_len);
    rec.profile_namespace = capture(r->profile_namespace, r->profile_namespace_len);
    rec.http_version = r->http_version;
    rec.tls_verification = r->tls_verification;
    rec.ca_pem = capture(r->ca_pem, r->ca_pem_len);
  }
  {
    std::lock_guard lock(state().mutex);
    state().engines.push_back(rec);
  }
  return finish_create("hv_engine_create", ObjectKind::Engine, out, nullptr, nullptr);
}

void hv_engine_release(hv_handle engine) {
  release_call("hv_engine_release", engine, ObjectKind::Engine);
}

int32_t hv_request_create(hv_handle engine, const hv_request_record *r, hv_handle *out) {
  return create_request("hv_request_create", engine, r, nullptr, out);
}

int32_t hv_request_start(hv_handle request) {
  return object_call("hv_request_start", request, ObjectKind::Request,
                     [](Object *obj, int32_t code) {
                       if (obj && code == HV_OK) obj->started = true;
                     });
}
int32_t hv_request_cancel(hv_handle request) {
  return simple_call("hv_request_cancel", request, ObjectKind::Request);
}
int32_t hv_request_follow_redirect(hv_handle request) {
  return simple_call("hv_request_follow_redirect", request, ObjectKind::Request);
}
int32_t hv_request_resume_read(hv_handle request) {
  return simple_call("hv_request_resume_read", request, ObjectKind::Request);
}
int32_t hv_request_upload_write(hv_handle request, const uint8_t *data, uint32_t len,
                                uint32_t final_chunk) {
  UploadWrite write{capture(data, len), final_chunk};
  return object_call("hv_request_upload_write", request, ObjectKind::Request,
                     [&](Object *obj, int32_t) {
                       if (obj) obj->uploads.push_back(std::move(write));
                     });
}
void hv_request_release(hv_handle request) {
  release_call("hv_request_release", request, ObjectKind::Request);
}

int32_t hv_websocket_create(hv_handle engine, const hv_websocket_record *r, hv_handle *out) {
  return create_websocket("hv_websocket_create", engine, r, nullptr, out);
}

int32_t hv_websocket_start(hv_handle ws) {
  return simple_call("hv_websocket_start", ws, ObjectKind::WebSocket);
}
int32_t hv_websocket_send(hv_handle ws, uint32_t type, const uint8_t *data, uint32_t len) {
  record_websocket_send(ws, type, data, len);
  return simple_call("hv_websocket_send", ws, ObjectKind::WebSocket);
}
int32_t hv_websocket_close(hv_handle ws, uint32_t code, const uint8_t *reason,
                           uint32_t reason_len) {
  record_websocket_close(ws, code, reason, reason_len);
  return simple_call("hv_websocket_close", ws, ObjectKind::WebSocket);
}
int32_t hv_websocket_cancel(hv_handle ws) {
  return simple_call("hv_websocket_cancel", ws, ObjectKind::WebSocket);
}
void hv_websocket_release(hv_handle ws) {
  release_call("hv_websocket_release", ws, ObjectKind::WebSocket);
}

}  // extern "C"
