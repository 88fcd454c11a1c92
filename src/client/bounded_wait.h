// Timed waits on a condition variable that stay correct for any duration.
//
// A long deadline handed to the condition variable in one piece can wrap the
// platform's clock type (a 32-bit time_t), which ends the wait at once; and a
// wake-up alone says nothing (it may be spurious). So the wait goes toward
// the deadline in bounded steps and the caller's predicate decides.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "client/duration.h"

namespace halvane {

// Waits until `done()` holds or `timeout` has passed; returns `done()`.
template <typename Pred>
bool wait_at_most(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, Duration timeout,
                  Pred done) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kStep = std::chrono::hours(1);
  const auto start = Clock::now();
  const std::chrono::nanoseconds total = timeout.to_chrono();
  while (!done()) {
    const auto elapsed = Clock::now() - start;
    if (elapsed >= total) return false;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(total - elapsed);
    cv.wait_for(lock, std::min<std::chrono::nanoseconds>(left, kStep));
  }
  return true;
}

}  // namespace halvane
