#include "client/duration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using halvane::Duration;

namespace {

struct Case {
  double seconds;
  uint64_t whole;
  uint32_t nanos;
};

class FromSeconds : public testing::TestWithParam<Case> {};

TEST_P(FromSeconds, ExactValueRoundedToNearestNanosecond) {
  const Case c = GetParam();
  const auto d = Duration::from_seconds(c.seconds);
  ASSERT_TRUE(d.has_value()) << c.seconds;
  EXPECT_EQ(d->seconds, c.whole) << c.seconds;
  EXPECT_EQ(d->nanos, c.nanos) << c.seconds;
}

INSTANTIATE_TEST_SUITE_P(
    Values, FromSeconds,
    testing::Values(Case{0.0, 0, 0}, Case{-0.0, 0, 0}, Case{1.5, 1, 500'000'000}, Case{2.0, 2, 0},
                    Case{0.1, 0, 100'000'000}, Case{123456.789, 123456, 789'000'000},
                    // Decimal literals are not what the double holds: 1.5e-9 lies just
                    // below 1.5 ns and 2.5e-9 just above 2.5 ns.
                    Case{1e-9, 0, 1}, Case{1.5e-9, 0, 1}, Case{2.5e-9, 0, 3}, Case{5e-10, 0, 1},
                    Case{1e-10, 0, 0}, Case{1.0000000005, 1, 1},
                    // Carry into the seconds.
                    Case{0.9999999999, 1, 0}, Case{41.99999999999, 42, 0},
                    // Exact ties go to the even nanosecond: 1/1024 s is 976562.5 ns.
                    Case{1.0 / 1024, 0, 976'562}, Case{3.0 / 1024, 0, 2'929'688},
                    Case{1 + 1.0 / 1024, 1, 976'562},
                    // Tiny values: 2^-31 s is below half a nanosecond, 2^-30 s above.
                    Case{std::ldexp(1.0, -31), 0, 0}, Case{std::ldexp(1.0, -30), 0, 1},
                    Case{std::numeric_limits<double>::denorm_min(), 0, 0},
                    Case{std::numeric_limits<double>::min(), 0, 0},
                    // Large values: from 2^52 on every double is a whole number.
                    Case{4503599627370495.5, 4503599627370495, 500'000'000},
                    Case{9007199254740991.0, 9007199254740991, 0},
                    Case{std::ldexp(1.0, 63), 1ull << 63, 0},
                    Case{18446744073709549568.0, 18446744073709549568ull, 0}));

TEST(FromSecondsRejects, NotFiniteNegativeOrTooLarge) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double bad :
       {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(), kInf,
        -kInf, -1.0, -0.001, -std::numeric_limits<double>::denorm_min(), std::ldexp(1.0, 64), 1e300,
        std::numeric_limits<double>::max()})
    EXPECT_FALSE(Duration::from_seconds(bad).has_value()) << bad;
}

TEST(FromSeconds, JustBelowWholeSecondsCarries) {
  // The doubles closest below a whole second round to 1e9 ns, which must
  // carry into the seconds rather than leave nanos out of range.
  for (double whole : {1.0, 2.0, 1000.0, 65536.0}) {
    double v = whole;
    for (int i = 0; i < 32; ++i) {
      v = std::nextafter(v, 0.0);
      const auto d = Duration::from_seconds(v);
      ASSERT_TRUE(d.has_value());
      EXPECT_LT(d->nanos, 1'000'000'000u);
      EXPECT_EQ(d->seconds * 1'000'000'000ull + d->nanos,
                static_cast<uint64_t>(whole) * 1'000'000'000ull)
          << v;
    }
  }
}

}  // namespace
