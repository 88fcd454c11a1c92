// WebSocket side of the stand-in Core: scripted delivery of the five
// callbacks to a created WebSocket, and a record of what hv_websocket_send
// and hv_websocket_close were given.
#pragma once

#include <cstdint>
#include <vector>

#include "fake_core.h"

extern "C" {
// Each call delivers one callback to the WebSocket `ws` (released or not)
// with the given arguments: on the calling thread when `async` is 0,
// otherwise on the delivery thread (bytes are copied first; fake_wait_idle
// waits for delivery). Returns 1, or 0 when `ws` was never created.
// Synchronous calls pass the caller's pointers through unchanged.
int fake_websocket_open(uint64_t ws, const uint8_t *protocol, uint32_t protocol_len,
                        const uint8_t *extensions, uint32_t extensions_len, int async);
int fake_websocket_message(uint64_t ws, int32_t type, int32_t fin, const uint8_t *data,
                           uint32_t len, int async);
int fake_websocket_closing(uint64_t ws, int async);
int fake_websocket_closed(uint64_t ws, int32_t clean, uint32_t code, const uint8_t *reason,
                          uint32_t reason_len, int async);
int fake_websocket_failure(uint64_t ws, int32_t code, int32_t net_error, int32_t response_code,
                           const uint8_t *message, uint32_t message_len, int async);

// Sends and closes recorded since the last fake_websocket_reset, and one of
// them as JSON: {"handle": n, "type": n, "data": TEXT} for a send and
// {"handle": n, "code": n, "reason": TEXT} for a close, where TEXT is
// {"null": bool, "len": n, "hex": "..."}; "null" for an index out of range.
uint64_t fake_websocket_send_count(void);
const char *fake_websocket_send_json(uint64_t index);
uint64_t fake_websocket_close_count(void);
const char *fake_websocket_close_json(uint64_t index);
void fake_websocket_reset(void);
}

namespace fake {

struct WebSocketSend {
  uint64_t handle = 0;
  uint32_t type = 0;
  Text data;
};

struct WebSocketClose {
  uint64_t handle = 0;
  uint32_t code = 0;
  Text reason;
};

// Called by hv_websocket_send and hv_websocket_close.
void record_websocket_send(hv_handle ws, uint32_t type, const uint8_t *data, uint32_t len)
    FAKE_CXX_SYMBOL(record_websocket_send);
void record_websocket_close(hv_handle ws, uint32_t code, const uint8_t *reason, uint32_t len)
    FAKE_CXX_SYMBOL(record_websocket_close);

std::vector<WebSocketSend> websocket_sends() FAKE_CXX_SYMBOL(websocket_sends);
std::vector<WebSocketClose> websocket_closes() FAKE_CXX_SYMBOL(websocket_closes);

}  // namespace fake
