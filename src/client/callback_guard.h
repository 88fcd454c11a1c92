// The frame of every Core callback, for requests and WebSockets alike. The
// Core calls on its own threads and nothing thrown may reach it.
//
// `Shared` provides state_mutex(), locked_state() and notify_locked() (both
// with the mutex held), wake_waiters(), schedule_event() and
// callback_panicked() noexcept.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

#include "client/spin_lock.h"

namespace halvane {

// Runs `update` on the state under its mutex; once the mutex is let go,
// wakes the waiters (so that they do not wake into a held mutex) and runs the
// event callback. An update may return a value that tests false when it
// admitted nothing (no wake-up, no event callback); the value lives until
// after the event callback, so what it carries is freed without the lock.
// Any failure, the event callback's included, becomes the state's
// CallbackPanic. Returns false when a failure was caught.
template <typename Shared, typename Update>
bool guard_callback(Shared &shared, Update &&update) noexcept {
  try {
    auto admitted = [&] {
      std::unique_lock lock = lock_spinning(shared.state_mutex());
      if constexpr (std::is_void_v<decltype(update(shared.locked_state()))>) {
        update(shared.locked_state());
        shared.notify_locked();
        return true;
      } else {
        auto result = update(shared.locked_state());
        if (result) shared.notify_locked();
        return result;
      }
    }();
    if (admitted) {
      shared.wake_waiters();
      shared.schedule_event();
    }
    return true;
  } catch (...) {
    shared.callback_panicked();
    return false;
  }
}

// The same for the Core's final callback: no other follows, so the Core's
// reference to the state is dropped afterwards, failure or not.
template <typename Shared, typename Update>
void guard_final_callback(Shared &shared, Update &&update) noexcept {
  guard_callback(shared, std::forward<Update>(update));
  shared.core_reference.release();
}

}  // namespace halvane
