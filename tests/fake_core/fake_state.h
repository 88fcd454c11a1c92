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
std::string to_json(const EngineRecord &r);
std::string to_json(const RequestRecord &r);
std::string to_json(const WebSocketRecord &r);
std::string to_json(const UploadWrite &w);

}  // namespace fake
