#include "core/request_shared.h"

namespace halvane {

std::shared_ptr<RequestShared> RequestShared::create() {
  auto shared = std::make_shared<RequestShared>();
  shared->core_owner_ = shared;
  return shared;
}

void RequestShared::schedule_event() {
  EventCallbackPtr callback;
  {
    std::lock_guard lock(event_mutex);
    callback = event_callback;
  }
  if (callback && *callback) (*callback)();
}

void RequestShared::callback_panicked() noexcept {
  try {
    bool fire = false;
    {
      std::lock_guard lock(mutex);
      if (state.outcome.pending()) {
        state.outcome = RequestOutcome::failed(Error::Kind::CallbackPanic);
        state.net_error = 0;
        state.notify(changed);
        fire = true;
      }
    }
    // Tell the listener about the failure; should it fail again, there is no
    // one left to report to, so the second failure is dropped here.
    if (fire) schedule_event();
  } catch (...) {
  }
}

void RequestShared::release_core_reference() noexcept {
  if (!core_reference_held.exchange(false, std::memory_order_acq_rel)) return;
  // Possibly the last owner: *this may be gone once `owner` leaves scope.
  std::shared_ptr<RequestShared> owner = std::move(core_owner_);
}

RequestInner::~RequestInner() {
  hv_request_release(handle);
  // A request that never started gets no final callback from the Core, so
  // the Core's ownership is dropped here instead.
  if (!started.load(std::memory_order_acquire)) user_data->release_core_reference();
}

}  // namespace halvane
