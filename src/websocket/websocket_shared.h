// State shared between the Core's WebSocket callbacks and every consumer: a
// bounded event queue, the optional event callback, and the Core's ownership.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "core/event_callback.h"
#include "websocket/websocket_event.h"

namespace halvane {

// A slow consumer costs at most this much before the stream ends with
// BufferLimit; the Core is never asked to slow down.
inline constexpr uint32_t MAX_QUEUED_EVENTS = 1024;
inline constexpr uint32_t MAX_BUFFERED_BYTES = 4 * 1024 * 1024;

inline constexpr char kBufferLimitMessage[] = "WebSocket event buffer limit exceeded";
inline constexpr char kCallbackPanicMessage[] = "WebSocket callback panicked";

struct WebSocketState {
  std::deque<WebSocketEvent> events;
  uint32_t buffered_bytes = 0;  // sum of the sizes of `events`
  bool finished = false;        // a terminal event was admitted; never cleared
};

class WebSocketShared {
 public:
  // A new shared state whose Core ownership is held. The result is the
  // creator's reference; the Core's one is released by release_core_reference.
  static std::shared_ptr<WebSocketShared> create();

  // Drops the ownership held for the Core, exactly once however often and
  // from whichever thread it is called. `shared` may be destroyed by it.
  static void release_core_reference(WebSocketShared *shared) noexcept;

  WebSocketShared(const WebSocketShared &) = delete;
  WebSocketShared &operator=(const WebSocketShared &) = delete;

  // Admits `event` within the limits, or ends the stream with BufferLimit;
  // discards it once the stream is finished. Runs the event callback after
  // an admission or an overflow, with no lock held.
  void push(WebSocketEvent event, bool terminal);
  // Ends the stream with CallbackPanic unless it already ended. Contains any
  // failure of its own, including one from the event callback.
  void callback_panicked() noexcept;
  // Runs the installed event callback, if any, with no lock held.
  void schedule_event();

  std::optional<WebSocketEvent> try_next();
  // Waits for an event; nothing only when finished and drained.
  std::optional<WebSocketEvent> blocking_next();
  bool is_finished() const;

  void set_event_callback(EventCallbackPtr callback);
  void clear_event_callback();

 private:
  WebSocketShared() = default;
  // Removes the front event; the caller holds the state mutex.
  std::optional<WebSocketEvent> take_front();

  mutable std::mutex callback_mutex_;
  EventCallbackPtr event_callback_;

  mutable std::mutex state_mutex_;
  std::condition_variable changed_;
  WebSocketState state_;

  std::atomic<bool> core_reference_held_{true};
  std::shared_ptr<WebSocketShared> core_reference_;  // the Core's ownership
};

}  // namespace halvane
