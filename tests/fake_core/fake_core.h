// Control interface of the stand-in Core. C functions for ctypes (Python
// tests), plus C++ accessors for the GoogleTest suites that link it directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/hv_abi.h"

extern "C" {
// Forgets every recorded call and scripted result, restores ABI 8 and the
// default version text. Live handles are kept (they may still be released).
void fake_reset(void);
void fake_set_abi(uint32_t abi);
// The text hv_version_string returns: `len` bytes (NUL appended), or NULL
// when `is_null` is nonzero.
void fake_set_version(const char *bytes, uint32_t len, int is_null);
// Queues the result code (and for create functions the handle) that the next
// call of hv function `fn` returns. Unscripted calls succeed with a fresh handle.
void fake_push_result(const char *fn, int32_t code);
void fake_push_handle(const char *fn, uint64_t handle);
// How often hv function `fn` was called since the last reset.
uint64_t fake_call_count(const char *fn);
// Calls on unknown or already released handles, double releases included.
uint64_t fake_misuse_count(void);
// Create records captured so far for kind "engine", "request" or "websocket",
// and one of them as JSON: integers as numbers, each (pointer, length) pair as
// {"null": bool, "len": n, "hex": "..."}, arrays as lists of such objects.
uint64_t fake_record_count(const char *kind);
const char *fake_record_json(const char *kind, uint64_t index);
// Handle of the newest live object of a kind, 0 when there is none.
uint64_t fake_last_handle(const char *kind);
// Number of live (created, not yet released) objects of a kind.
uint64_t fake_live_count(const char *kind);
}

namespace fake {

struct Text {
  bool is_null = true;
  uint32_t len = 0;
  std::string bytes;
};

struct HeaderEntry {
  Text name, value;
};

struct EngineRecord {
  uint32_t size = 0, abi = 0;
  Text user_agent, proxy, proxy_username, proxy_password;
  uint32_t disable_cache = 0;
  Text accept_language, impersonate, profile_namespace;
  uint32_t http_version = 0, tls_verification = 0;
  Text ca_pem;
};

struct RequestRecord {
  uint32_t size = 0, abi = 0;
  Text url, method;
  bool headers_null = true;
  uint32_t header_count = 0;
  std::vector<HeaderEntry> headers;
  uint64_t timeout_ms = 0;
  uint32_t callbacks_size = 0, callbacks_abi = 0;
  hv_request_callbacks callbacks{};
  Text body;
  uint32_t body_kind = 0, cache_mode = 0, redirect_mode = 0, priority = 0;
  uint64_t engine = 0;
};

struct WebSocketRecord {
  uint32_t size = 0, abi = 0;
  Text url, origin;
  bool protocols_null = true;
  uint32_t protocol_count = 0;
  std::vector<Text> protocols;
  bool headers_null = true;
  uint32_t header_count = 0;
  std::vector<HeaderEntry> headers;
  uint32_t callbacks_size = 0, callbacks_abi = 0;
  hv_websocket_callbacks callbacks{};
  uint64_t timeout_ms = 0;
  uint64_t engine = 0;
};

std::vector<EngineRecord> engine_records();
std::vector<RequestRecord> request_records();
std::vector<WebSocketRecord> websocket_records();

}  // namespace fake
