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

#include "core/duration.h"
#include "core/engine.h"
#include "core/event_callback.h"
#include "core/hv_abi.h"
#include "core/request_config.h"
#include "core/result.h"
#include "websocket/websocket_event.h"
#include "websocket/websocket_shared.h"

namespace halvane {

// More sub-protocols than this are refused (InvalidArgument): no handshake
// head the Core accepts could carry them.
inline constexpr size_t kMaxProtocols = 1024;

struct WebSocketConfig {
  std::optional<Duration> timeout;  // whole milliseconds for the Core; none is 0
  std::string url;
  std::string origin;  // empty means no origin
  std::vector<std::string> protocols;
  std::vector<Header> headers;  // passed in order, without checks

  static WebSocketConfig create(std::string url, std::string origin) {
    WebSocketConfig config;
    config.url = std::move(url);
    config.origin = std::move(origin);
    return config;
  }
};

// Owner of the Core WebSocket handle. Its destruction releases the handle
// once and, if the Core was never started (so never calls back), the Core's
// ownership of the shared state too.
struct WebSocketInner {
  explicit WebSocketInner(std::shared_ptr<WebSocketShared> shared_state)
      : shared(std::move(shared_state)), user_data(shared.get()) {}
  ~WebSocketInner();
  WebSocketInner(const WebSocketInner &) = delete;
  WebSocketInner &operator=(const WebSocketInner &) = delete;

  hv_handle handle = 0;
  std::shared_ptr<WebSocketShared> shared;
  WebSocketShared *user_data;  // what the Core was given; stands for its ownership
  std::atomic<bool> started{false};
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

class WebSocket {
 public:
  // Creates the Core WebSocket (not started). Reached through Engine::websocket.
  static Result<WebSocket> create(const Engine &engine, WebSocketConfig config);
  // The same on a raw Core engine handle, which is only read during the call.
  static Result<WebSocket> create(hv_handle engine, WebSocketConfig config);

  // Starts once; a second start is InvalidState. A Core refusal leaves the
  // WebSocket startable.
  Result<WebSocketEvents> start();

  // Payloads and reasons longer than 2^32 - 1 bytes are InvalidArgument.
  Status send_text(std::string_view text);
  Status send_binary(std::span<const uint8_t> data);
  Status close(uint16_t code, std::string_view reason);
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
