// Process-wide state of the stand-in Core, guarded by one mutex. Callbacks
// into the module are never made while that mutex is held.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fake_core.h"

namespace fake {

enum class ObjectKind { Engine, Request, WebSocket };

// One cookie of an engine's jar in the stand-in (fake_ext.cpp).
struct JarCookie {
  std::string name, value, domain, path;
  bool secure = false, http_only = false, host_only = false;
  int64_t expires = 0;
};

struct Object {
  ObjectKind kind;
  bool released = false;
  // Kept after release: a started request still gets its final callback.
  hv_request_callbacks request_callbacks{};
  hv_websocket_callbacks websocket_callbacks{};
  // Request delivery bookkeeping: started by a successful hv_request_start,
  // completed once on_complete was delivered.
  bool started = false;
  bool completed = false;
  std::vector<int> body_results;     // what each delivered on_body returned
  std::vector<UploadWrite> uploads;  // hv_request_upload_write arguments
  // Actions run inside the next call of the named hv_* function on this
  // handle, in the order armed (see arm / run_armed).
  std::map<std::string, std::vector<std::function<void()>>> armed;
  // Extensions (fake_ext.cpp): a request's scripted cache state, the pings
  // a WebSocket was given, an engine's jar.
  uint32_t cache_state = HV_EXT_CACHE_STATE_UNKNOWN;
  std::vector<Text> pings;
  std::vector<JarCookie> jar;
};

struct State {
  std::mutex mutex;
  uint32_t abi = HV_ABI_VERSION;
  std::optional<std::string> version = std::string("fake-halvane 2.0");
  std::map<std::string, std::deque<int32_t>> results;
  std::map<std::string, std::deque<uint64_t>> handles;
  std::map<std::string, uint64_t> calls;
  uint64_t misuse = 0;
  uint64_t next_handle = 0x1000;
  std::map<uint64_t, Object> objects;
  std::vector<EngineRecord> engines;
  std::vector<RequestRecord> requests;
  std::vector<WebSocketRecord> websockets;
};

State &state();

// Counts a call of `fn` and pops its scripted result (0 when none).
int32_t enter(const char *fn);
// Pops the scripted handle of a create function, or makes a fresh one.
uint64_t next_handle(const char *fn);
// Looks up a live object; counts a misuse when unknown or released.
// The caller holds the state mutex.
Object *live_object(uint64_t handle, ObjectKind kind);
const char *kind_name(ObjectKind kind);

// Runs (and forgets) what was armed for `fn` on `handle`. The caller must not
// hold the state mutex. Every hv_* call on an existing handle runs this.
void run_armed(uint64_t handle, const char *fn);

Text capture(const uint8_t *ptr, uint32_t len);

// The create entries, base and extension alike: `fn` is the name counted
// and scripted; `options` is null for the base entry.
int32_t create_request(const char *fn, hv_handle engine, const hv_request_record *r,
                       const hv_ext_request_options *options, hv_handle *out);
int32_t create_websocket(const char *fn, hv_handle engine, const hv_websocket_record *r,
                         const hv_ext_websocket_options *options, hv_handle *out);
std::string to_json(const EngineRecord &r);
std::string to_json(const RequestRecord &r);
std::string to_json(const WebSocketRecord &r);
std::string to_json(const UploadWrite &w);

}  // namespace fake
