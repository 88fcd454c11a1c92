#include "client/websocket_shared.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace halvane {

namespace {

uint32_t saturating_add(uint32_t a, uint32_t b) {
  const uint32_t sum = a + b;
  return sum < a ? std::numeric_limits<uint32_t>::max() : sum;
}

WebSocketEvent failure_event(Error error, const char *message, int32_t response_code) {
  return WebSocketEvent{WebSocketFailure{error, message, 0, response_code}};
}

}  // namespace

std::shared_ptr<WebSocketShared> WebSocketShared::create(uint32_t byte_limit) {
  std::shared_ptr<WebSocketShared> shared(new WebSocketShared());
  shared->state_.byte_limit = std::max(byte_limit, MAX_BUFFERED_BYTES);
  shared->core_reference.hold(shared);
  return shared;
}

Admission WebSocketState::admit(WebSocketEvent event, bool terminal) {
  Admission admission;
  if (finished) return admission;
  admission.admitted = true;
  const uint32_t size = event.size();
  if (events.size() >= MAX_QUEUED_EVENTS || saturating_add(buffered_bytes, size) > byte_limit) {
    admission.dropped.swap(events);
    buffered_bytes = 0;
    // Outside the budget: the one entry of a stream that has ended.
    events.push_back(failure_event(Error::Kind::BufferLimit, kBufferLimitMessage, 0));
    finished = true;
  } else {
    events.push_back(std::move(event));
    buffered_bytes += size;
    if (terminal) finished = true;
  }
  return admission;
}

void WebSocketShared::callback_panicked() noexcept {
  {
    std::lock_guard lock(state_mutex_);
    if (state_.finished) return;
    // Finished even if the event cannot be stored, so that no waiter hangs.
    state_.finished = true;
    try {
      state_.events.push_back(failure_event(Error::Kind::CallbackPanic, kCallbackPanicMessage, -1));
    } catch (...) {
    }
    changed_.notify_all();
  }
  try {
    schedule_event();
  } catch (...) {
    // The event callback failed again: the stream has already ended, and
    // nothing may reach the Core.
  }
}

void WebSocketShared::schedule_event() {
  EventCallbackPtr callback;
  {
    std::lock_guard lock(callback_mutex_);
    callback = event_callback_;
  }
  if (callback && *callback) (*callback)();
}

std::optional<WebSocketEvent> WebSocketShared::take_front() {
  if (state_.events.empty()) return std::nullopt;
  std::optional<WebSocketEvent> event(std::move(state_.events.front()));
  state_.events.pop_front();
  const uint32_t size = event->size();
  state_.buffered_bytes = size > state_.buffered_bytes ? 0 : state_.buffered_bytes - size;
  return event;
}

std::optional<WebSocketEvent> WebSocketShared::try_next() {
  std::lock_guard lock(state_mutex_);
  return take_front();
}

std::optional<WebSocketEvent> WebSocketShared::blocking_next() {
  std::unique_lock lock(state_mutex_);
  changed_.wait(lock, [this] { return !state_.events.empty() || state_.finished; });
  return take_front();
}

bool WebSocketShared::is_finished() const {
  std::lock_guard lock(state_mutex_);
  return state_.finished;
}

void WebSocketShared::set_event_callback(EventCallbackPtr callback) {
  {
    std::lock_guard lock(callback_mutex_);
    event_callback_.swap(callback);
  }
  // `callback` now holds the previous one, released here without the lock so
  // that its destruction may use this WebSocket.
}

void WebSocketShared::clear_event_callback() {
  EventCallbackPtr previous;
  {
    std::lock_guard lock(callback_mutex_);
    previous = std::move(event_callback_);
  }
}

}  // namespace halvane
