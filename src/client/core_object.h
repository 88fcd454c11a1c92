// A Core request or WebSocket as this layer holds it.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "client/core_handle.h"
#include "client/error.h"
#include "client/result.h"
#include "halvane/hv_abi.h"

namespace halvane {

// The Core handle, the state shared with the Core's callbacks, and whether the
// Core was started. Made before the Core object exists, so that a failed
// creation frees the state, the Core's reference included, by letting it go.
template <typename Shared, void (*Release)(hv_handle)>
struct CoreObject {
  explicit CoreObject(std::shared_ptr<Shared> state)
      : shared(std::move(state)), user_data(shared.get()) {}
  ~CoreObject() {
    handle.reset();
    // Never started: the Core makes no final callback, so its reference to
    // the state is dropped here instead.
    if (!started.load(std::memory_order_acquire)) user_data->core_reference.release();
  }
  CoreObject(const CoreObject &) = delete;
  CoreObject &operator=(const CoreObject &) = delete;

  // Starts once through `start`; a second start is InvalidState. A Core
  // refusal leaves the object startable.
  Status start_once(int32_t (*start)(hv_handle)) {
    bool expected = false;
    if (!started.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
      return Error::Kind::InvalidState;
    if (auto err = Error::from_code(start(handle.get()))) {
      started.store(false, std::memory_order_release);
      return *err;
    }
    return {};
  }

  CoreHandle<Release> handle;
  const std::shared_ptr<Shared> shared;
  Shared *const user_data;  // what the Core was given; stands for its reference
  std::atomic<bool> started{false};
};

}  // namespace halvane
