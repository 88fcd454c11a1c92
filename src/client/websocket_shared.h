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

#include "client/core_reference.h"
#include "client/event_callback.h"
#include "client/websocket_event.h"

namespace halvane {

// A slow consumer costs at most this much before the stream ends with
// BufferLimit; the Core is never asked to slow down.
inline constexpr uint32_t MAX_QUEUED_EVENTS = 1024;
inline constexpr uint32_t MAX_BUFFERED_BYTES = 4 * 1024 * 1024;

inline constexpr char kBufferLimitMessage[] = "WebSocket event buffer limit exceeded";
inline constexpr char kCallbackPanicMessage[] = "WebSocket callback panicked";

// What admitting an event let go of, to be freed once the lock is released;
// false when the stream had already ended and the event was discarded.
struct Admission {
  bool admitted = false;
  std::deque<WebSocketEvent> dropped;
  explicit operator bool() const { return admitted; }
};

struct WebSocketState {
  // The bytes queued events may hold: MAX_BUFFERED_BYTES, or more for a
  // WebSocket that takes larger messages, so that one such message fits.
  uint32_t byte_limit = MAX_BUFFERED_BYTES;
  std::deque<WebSocketEvent> events;
  uint32_t buffered_bytes = 0;  // sum of the sizes of `events`
  bool finished = false;        // a terminal event was admitted; never cleared

  // Admits `event` within the limits, or ends the stream with BufferLimit;
  // discards it once the stream is finished.
  Admission admit(WebSocketEvent event, bool terminal);
};

class WebSocketShared {
 public:
  // A new shared state whose Core reference is held. The result is the
  // creator's reference.
  static std::shared_ptr<WebSocketShared> create(uint32_t byte_limit = MAX_BUFFERED_BYTES);

  WebSocketShared(const WebSocketShared &) = delete;
  WebSocketShared &operator=(const WebSocketShared &) = delete;

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

  // For the callback guard; the middle two with the state mutex held.
  std::mutex &state_mutex() { return state_mutex_; }
  WebSocketState &locked_state() { return state_; }
  void notify_locked() {}
  void wake_waiters() { changed_.notify_all(); }

  // The owner behind the callback user data.
  CoreReference<WebSocketShared> core_reference;

 private:
  WebSocketShared() = default;
  // Removes the front event; the caller holds the state mutex.
  std::optional<WebSocketEvent> take_front();

  mutable std::mutex callback_mutex_;
  EventCallbackPtr event_callback_;

  mutable std::mutex state_mutex_;
  std::condition_variable changed_;
  WebSocketState state_;
};

}  // namespace halvane
