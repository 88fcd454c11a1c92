#include "client/request_shared.h"

namespace halvane {

std::shared_ptr<RequestShared> RequestShared::create() {
  auto shared = std::make_shared<RequestShared>();
  shared->core_reference.hold(shared);
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

}  // namespace halvane
