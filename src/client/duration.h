// A non-negative span of time as whole seconds plus nanoseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

namespace halvane {

struct Duration {
  uint64_t seconds = 0;
  uint32_t nanos = 0;  // below 1,000,000,000

  // The exact value of `seconds` with the fraction rounded to the nearest
  // nanosecond, ties to even; negative zero gives zero. Nothing for NaN,
  // infinities, negative values and 2^64 seconds or more.
  static std::optional<Duration> from_seconds(double seconds);

  // Whole milliseconds, truncated, saturating at 2^64 - 1.
  uint64_t whole_millis() const {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    if (seconds > kMax / 1000) return kMax;
    const uint64_t ms = seconds * 1000;
    const uint64_t extra = nanos / 1'000'000;
    return ms > kMax - extra ? kMax : ms + extra;
  }

  // As a steady-clock duration, saturating at roughly 292 years.
  std::chrono::nanoseconds to_chrono() const {
    constexpr uint64_t kMaxSeconds = 9'000'000'000;  // fits int64 nanoseconds
    if (seconds >= kMaxSeconds) return std::chrono::nanoseconds(kMaxSeconds * 1'000'000'000);
    return std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos);
  }

  friend bool operator==(const Duration &, const Duration &) = default;
};

}  // namespace halvane
