// PyWebSocket: one WebSocket connection driven from Python.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "client/websocket.h"
#include "python/module/python.h"

namespace strandel {

struct PyWebSocketValue {
  explicit PyWebSocketValue(halvane::WebSocket w) : ws(std::move(w)) {}

  halvane::WebSocket ws;
  // Shared with the loop notifier; coalesces notifications until a poll.
  std::shared_ptr<std::atomic<bool>> notify_pending = std::make_shared<std::atomic<bool>>(false);
  // The installed event callback is a LoopWaker registration.
  std::atomic<bool> waker_attached{false};
  // The event stream once connected.
  std::mutex events_mutex;
  std::optional<halvane::WebSocketEvents> events;
};

// A new PyWebSocket wrapping a created (not connected) WebSocket.
PyObject *make_py_websocket(halvane::WebSocket ws);

}  // namespace strandel
