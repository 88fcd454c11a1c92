// Process-wide state of the stand-in Core, guarded by one mutex. Callbacks
// into the module are never made while that mutex is held.
#pragma once

#include <cstdint>
#include <deque>
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
  hv_request_callbacks request_callbacks{};
  hv_websocket_callbacks websocket_callbacks{};
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

Text capture(const uint8_t *ptr, uint32_t len);
std::string to_json(const EngineRecord &r);
std::string to_json(const RequestRecord &r);
std::string to_json(const WebSocketRecord &r);

}  // namespace fake
