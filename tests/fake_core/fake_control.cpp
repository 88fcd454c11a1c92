// Control functions through which tests script and inspect the stand-in Core.
#include <string>

#include "fake_state.h"
#include "fake_websocket.h"

using namespace fake;

namespace {

ObjectKind parse_kind(const std::string &kind) {
  if (kind == "request") return ObjectKind::Request;
  if (kind == "websocket") return ObjectKind::WebSocket;
  return ObjectKind::Engine;
}

}  // namespace

namespace fake {
std::vector<EngineRecord> engine_records() {
  std::lock_guard lock(state().mutex);
  return state().engines;
}
std::vector<RequestRecord> request_records() {
  std::lock_guard lock(state().mutex);
  return state().requests;
}
std::vector<WebSocketRecord> websocket_records() {
  std::lock_guard lock(state().mutex);
  return state().websockets;
}
}  // namespace fake

extern "C" {

void fake_reset(void) {
  fake_websocket_reset();
  State &s = state();
  std::lock_guard lock(s.mutex);
  s.abi = HV_ABI_VERSION;
  s.version = std::string("fake-halvane 2.0");
  s.results.clear();
  s.handles.clear();
  s.calls.clear();
  s.misuse = 0;
  s.engines.clear();
  s.requests.clear();
  s.websockets.clear();
  for (auto &[handle, obj] : s.objects) {
    obj.armed.clear();
    obj.body_results.clear();
    obj.uploads.clear();
  }
}

void fake_set_abi(uint32_t abi) {
  std::lock_guard lock(state().mutex);
  state().abi = abi;
}

void fake_set_version(const char *bytes, uint32_t len, int is_null) {
  std::lock_guard lock(state().mutex);
  if (is_null)
    state().version.reset();
  else
    state().version = std::string(bytes, len);
}

void fake_push_result(const char *fn, int32_t code) {
  std::lock_guard lock(state().mutex);
  state().results[fn].push_back(code);
}

void fake_push_handle(const char *fn, uint64_t handle) {
  std::lock_guard lock(state().mutex);
  state().handles[fn].push_back(handle);
}

uint64_t fake_call_count(const char *fn) {
  std::lock_guard lock(state().mutex);
  auto it = state().calls.find(fn);
  return it == state().calls.end() ? 0 : it->second;
}

uint64_t fake_misuse_count(void) {
  std::lock_guard lock(state().mutex);
  return state().misuse;
}

uint64_t fake_record_count(const char *kind) {
  std::lock_guard lock(state().mutex);
  switch (parse_kind(kind)) {
    case ObjectKind::Engine:
      return state().engines.size();
    case ObjectKind::Request:
      return state().requests.size();
    case ObjectKind::WebSocket:
      return state().websockets.size();
  }
  return 0;
}

const char *fake_record_json(const char *kind, uint64_t index) {
  static thread_local std::string out;
  std::lock_guard lock(state().mutex);
  State &s = state();
  out = "null";
  switch (parse_kind(kind)) {
    case ObjectKind::Engine:
      if (index < s.engines.size()) out = to_json(s.engines[index]);
      break;
    case ObjectKind::Request:
      if (index < s.requests.size()) out = to_json(s.requests[index]);
      break;
    case ObjectKind::WebSocket:
      if (index < s.websockets.size()) out = to_json(s.websockets[index]);
      break;
  }
  return out.c_str();
}

uint64_t fake_last_handle(const char *kind) {
  std::lock_guard lock(state().mutex);
  const ObjectKind k = parse_kind(kind);
  for (auto it = state().objects.rbegin(); it != state().objects.rend(); ++it)
    if (it->second.kind == k && !it->second.released) return it->first;
  return 0;
}

uint64_t fake_live_count(const char *kind) {
  std::lock_guard lock(state().mutex);
  const ObjectKind k = parse_kind(kind);
  uint64_t n = 0;
  for (const auto &[handle, obj] : state().objects)
    if (obj.kind == k && !obj.released) ++n;
  return n;
}

}  // extern "C"
