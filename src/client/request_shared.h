// State shared between a request's users and the Core's callback threads, and
// the owner of the Core request handle. Internal to the client layer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "client/core_object.h"
#include "client/core_reference.h"
#include "client/error.h"
#include "client/event_callback.h"
#include "client/redirect.h"
#include "client/response.h"
#include "halvane/hv_abi.h"

namespace halvane {

// Body bytes buffered before the Core is asked to pause; reading resumes once
// the buffer is back below this.
inline constexpr uint32_t kPauseThreshold = 1u << 20;

// Pending until the Core's final callback; Failed carries the error.
class RequestOutcome {
 public:
  static RequestOutcome succeeded() { return RequestOutcome(State::Succeeded, std::nullopt); }
  static RequestOutcome failed(Error error) { return RequestOutcome(State::Failed, error); }
  RequestOutcome() = default;

  bool pending() const { return state_ == State::Pending; }
  bool is_succeeded() const { return state_ == State::Succeeded; }
  bool is_failed() const { return state_ == State::Failed; }
  // Only for a failed outcome.
  const Error &error() const { return *error_; }

 private:
  enum class State { Pending, Succeeded, Failed };
  RequestOutcome(State state, std::optional<Error> error) : state_(state), error_(error) {}
  State state_ = State::Pending;
  std::optional<Error> error_;
};

struct RequestState {
  RequestOutcome outcome;
  int32_t net_error = 0;
  std::deque<Chunk> body_chunks;
  uint32_t buffered_bytes = 0;  // saturating
  bool read_paused = false;
  std::deque<Redirect> redirects;
  int32_t response_status = 0;
  std::optional<std::vector<uint8_t>> response_headers;  // last head not yet taken
  bool response_taken = false;
  bool error_reported = false;
  // Counts every notification of `changed`, so that a waiter can tell an
  // event from a spurious wake-up.
  uint64_t notifications = 0;

  void notify(std::condition_variable &changed) {
    ++notifications;
    changed.notify_all();
  }
};

struct RequestShared {
  RequestShared() { live_.fetch_add(1, std::memory_order_relaxed); }
  ~RequestShared() { live_.fetch_sub(1, std::memory_order_relaxed); }
  RequestShared(const RequestShared &) = delete;
  RequestShared &operator=(const RequestShared &) = delete;

  // How many request states exist in the process (for leak checks).
  static long live_count() { return live_.load(std::memory_order_relaxed); }

  // Creates the state with two owners: the returned pointer, and the Core's
  // (the raw pointer handed over as callback user data).
  static std::shared_ptr<RequestShared> create();

  // Runs the installed event callback, if any, with no lock held.
  void schedule_event();
  // Turns a failure caught inside a Core callback into a CallbackPanic outcome
  // while the request is pending. Never throws.
  void callback_panicked() noexcept;

  // For the callback guard; the middle two with `mutex` held. The waiters
  // are woken once the mutex is let go.
  std::mutex &state_mutex() { return mutex; }
  RequestState &locked_state() { return state; }
  void notify_locked() { ++state.notifications; }
  void wake_waiters() { changed.notify_all(); }

  std::mutex event_mutex;
  EventCallbackPtr event_callback;  // guarded by event_mutex

  std::mutex mutex;
  RequestState state;  // guarded by mutex
  std::condition_variable changed;

  // The owner behind the callback user data.
  CoreReference<RequestShared> core_reference;

 private:
  static inline std::atomic<long> live_{0};
};

// The Core request handle, released exactly once, and its shared state.
struct RequestInner : CoreObject<RequestShared, hv_request_release> {
  using CoreObject::CoreObject;
};

}  // namespace halvane
