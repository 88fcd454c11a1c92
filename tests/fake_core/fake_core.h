// Control interface of the stand-in Core. C functions for ctypes (Python
// tests), plus C++ accessors for the GoogleTest suites that link it directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "halvane/hv_abi.h"

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

// ---- request callbacks ----------------------------------------------------
// Deliver one of the four request callbacks to the request `request` (a
// handle the stand-in created), through the callback table and user data it
// was created with; these stay usable after hv_request_release. `when`
// chooses where the callback runs:
//   NULL or ""  now, on the calling thread;
//   "post"      on the delivery thread (see fake_worker.h), in posting order;
//   "hv_..."    inside the next call of that hv function on this handle (for
//               example "hv_request_resume_read"), before it returns.
// Byte arguments are copied at once; a NULL pointer is passed on as NULL.
// At delivery time a callback is refused, and counted as misuse, when the
// request already got on_complete, or was released without being started
// (its user data is gone). Returns 1 when delivered (now) or scheduled, 0
// when refused or the handle is not a request.
int fake_request_response(uint64_t request, const char *when, int32_t status,
                          const uint8_t *headers, uint32_t headers_len);
int fake_request_body(uint64_t request, const char *when, const uint8_t *data, uint32_t len);
int fake_request_redirect(uint64_t request, const char *when, int32_t status,
                          const uint8_t *headers, uint32_t headers_len, const uint8_t *first,
                          uint32_t first_len, const uint8_t *second, uint32_t second_len);
int fake_request_complete(uint64_t request, const char *when, int32_t code, int32_t net_error);
// Delivers on_complete(code, net_error) now to every started request that
// has not had it yet; returns how many. Lets a test end tidily.
uint64_t fake_request_complete_started(int32_t code, int32_t net_error);
// What the delivered on_body calls of a request returned (1 keep reading, 0
// pause), oldest first: their number, and one of them (-1 when out of range).
uint64_t fake_request_body_result_count(uint64_t request);
int fake_request_body_result(uint64_t request, uint64_t index);
// The hv_request_upload_write calls on a request: their number, and one as
// JSON {"null": bool, "len": n, "hex": "...", "final": n} ("null" when out of
// range). "null" tells whether the data pointer was NULL.
uint64_t fake_request_upload_count(uint64_t request);
const char *fake_request_upload_json(uint64_t request, uint64_t index);

// ---- extensions (fake_ext.cpp; not in the build without them) --------------
// What hv_ext_request_cache_state reports for `request` (HV_EXT_CACHE_STATE_*).
void fake_set_cache_state(uint64_t request, uint32_t state);
// The pings hv_ext_websocket_ping was given for `websocket`, and one as JSON
// {"null": bool, "len": n, "hex": "..."} ("null" when out of range).
uint64_t fake_websocket_ping_count(uint64_t websocket);
const char *fake_websocket_ping_json(uint64_t websocket, uint64_t index);
}

// The stand-in's version script exports only hv_* and fake_* names, so each
// C++ accessor below carries a fake_cxx_* symbol name.
#define FAKE_CXX_SYMBOL(name) __asm__("fake_cxx_" #name)

namespace fake {

struct Text {
  bool is_null = true;
  uint32_t len = 0;
  std::string bytes;
};

struct UploadWrite {
  Text data;
  uint32_t final_chunk = 0;
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
  // Through hv_ext_request_create: the options record (size 0 otherwise).
  uint32_t options_size = 0;
  uint64_t connect_timeout_ms = 0;
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
  // Through hv_ext_websocket_create: the options record (size 0 otherwise).
  uint32_t options_size = 0;
  uint64_t max_message_size = 0;
};

std::vector<EngineRecord> engine_records() FAKE_CXX_SYMBOL(engine_records);
std::vector<RequestRecord> request_records() FAKE_CXX_SYMBOL(request_records);
std::vector<WebSocketRecord> websocket_records() FAKE_CXX_SYMBOL(websocket_records);

// Queues `action` to run inside the next call of hv function `fn` on
// `handle`, on the calling thread, with the stand-in's mutex not held. Every
// action armed for `fn` runs at that call, in the order armed; an action may
// arm again. Returns false when the handle is unknown.
bool arm(uint64_t handle, const std::string &fn, std::function<void()> action) FAKE_CXX_SYMBOL(arm);

// C++ views of the request bookkeeping above.
std::vector<int> body_results(uint64_t request) FAKE_CXX_SYMBOL(body_results);
std::vector<UploadWrite> upload_writes(uint64_t request) FAKE_CXX_SYMBOL(upload_writes);

}  // namespace fake
