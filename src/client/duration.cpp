#include "client/duration.h"

#include <bit>
#include <cmath>

namespace halvane {
namespace {

// hi * 2^64 + lo. The 32-bit target has no 128-bit integer type.
struct Wide {
  uint64_t hi = 0, lo = 0;
};

Wide multiply(uint64_t a, uint32_t b) {
  const uint64_t low = (a & 0xFFFFFFFFu) * b;
  const uint64_t high = (a >> 32) * b;
  Wide w;
  w.lo = low + (high << 32);
  w.hi = (high >> 32) + (w.lo < low ? 1 : 0);
  return w;
}

// w >> n for n in [0, 127], truncated to 64 bits.
uint64_t shift_right(Wide w, int n) {
  if (n == 0) return w.lo;
  if (n < 64) return (w.lo >> n) | (w.hi << (64 - n));
  return w.hi >> (n - 64);
}

// Whether the lowest n bits of w (n in [0, 127]) are all zero.
bool low_bits_zero(Wide w, int n) {
  const auto mask = [](int bits) { return (uint64_t{1} << bits) - 1; };
  if (n < 64) return (w.lo & mask(n)) == 0;
  return w.lo == 0 && (w.hi & mask(n - 64)) == 0;
}

}  // namespace

std::optional<Duration> Duration::from_seconds(double seconds) {
  constexpr double kTwoPow64 = 18446744073709551616.0;
  if (std::isnan(seconds) || seconds < 0 || seconds >= kTwoPow64) return std::nullopt;

  // seconds == mantissa * 2^exponent exactly; -0.0 decodes like 0.0 once the
  // sign bit is dropped.
  const uint64_t bits = std::bit_cast<uint64_t>(seconds) & ~(uint64_t{1} << 63);
  const uint64_t field = bits >> 52;
  const uint64_t fraction_bits = bits & ((uint64_t{1} << 52) - 1);
  const uint64_t mantissa = field == 0 ? fraction_bits : fraction_bits | (uint64_t{1} << 52);
  const int exponent = field == 0 ? -1074 : static_cast<int>(field) - 1075;

  if (exponent >= 0) return Duration{mantissa << exponent, 0};  // below 2^64, checked above
  const int shift = -exponent;
  // Below 2^-47 s here (mantissa < 2^53): far less than half a nanosecond.
  if (shift > 100) return Duration{};

  const uint64_t whole = shift >= 64 ? 0 : mantissa >> shift;
  const uint64_t frac = shift >= 64 ? mantissa : mantissa & ((uint64_t{1} << shift) - 1);
  // nanos = frac * 10^9 / 2^shift, rounded half to even.
  const Wide scaled = multiply(frac, 1'000'000'000u);  // below 2^83
  uint64_t nanos = shift_right(scaled, shift);         // below 10^9
  const bool half_or_more = (shift_right(scaled, shift - 1) & 1) != 0;
  const bool exactly_half = half_or_more && low_bits_zero(scaled, shift - 1);
  if (half_or_more && (!exactly_half || (nanos & 1) != 0)) ++nanos;

  if (nanos == 1'000'000'000u) return Duration{whole + 1, 0};  // whole < 2^53: no overflow
  return Duration{whole, static_cast<uint32_t>(nanos)};
}

}  // namespace halvane
