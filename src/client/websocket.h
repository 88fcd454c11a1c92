// A WebSocket connection driven by the Core, and the consumer side of its
// event queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/core_object.h"
#include "client/engine.h"
#include "client/event_callback.h"
#include "client/result.h"
#include "client/websocket_event.h"
#include "client/websocket_record.h"
#include "client/websocket_shared.h"
#include "halvane/hv_abi.h"

namespace halvane {

// The Core WebSocket handle, released exactly once, and its shared state.
struct WebSocketInner : CoreObject<WebSocketShared, hv_websocket_release> {
  using CoreObject::CoreObject;
};

// Consumer side of a started WebSocket; copies share one queue, and each
// event goes to exactly one taker.
class WebSocketEvents {
 public:
  // Waits without limit; nothing only once the stream is finished and drained.
  std::optional<WebSocketEvent> blocking_next() { return shared_->blocking_next(); }
  // Never waits; nothing when the queue is empty, finished or not.
  std::optional<WebSocketEvent> try_next() { return shared_->try_next(); }

 private:
  friend class WebSocket;
  explicit WebSocketEvents(std::shared_ptr<WebSocketShared> shared) : shared_(std::move(shared)) {}
  std::shared_ptr<WebSocketShared> shared_;
};

// A control frame's payload limit (RFC 6455 5.5).
inline constexpr size_t kMaxPingPayload = 125;

class WebSocket {
 public:
  // Creates the Core WebSocket (not started). Reached through Engine::websocket.
  static Result<WebSocket> create(const Engine &engine, WebSocketConfig config);

  // Starts once; a second start is InvalidState. A Core refusal leaves the
  // WebSocket startable.
  Result<WebSocketEvents> start();

  // Payloads and reasons longer than 2^32 - 1 bytes are InvalidArgument.
  Status send_text(std::string_view text);
  Status send_binary(std::span<const uint8_t> data);
  Status close(uint16_t code, std::string_view reason);
  // A ping frame (the Core's "websocket_ping" extension; InvalidState
  // without it). More than kMaxPingPayload bytes are InvalidArgument.
  Status ping(std::span<const uint8_t> data);
  Status cancel();

  // True once a terminal event is queued, before it is taken.
  bool is_finished() const;

  // Replaces the event callback run after each admitted event.
  void set_event_callback(EventCallbackPtr callback);
  void clear_event_callback();

 private:
  explicit WebSocket(std::shared_ptr<WebSocketInner> inner) : inner_(std::move(inner)) {}
  Status send(uint32_t type, const void *data, size_t len);

  std::shared_ptr<WebSocketInner> inner_;
};

}  // namespace halvane
