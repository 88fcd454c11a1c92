// The ranges a partial entry holds: what a wanted span lacks, how a new
// range joins them, where a byte sits in the body.
#include "cache/cache_parts.h"

#include <gtest/gtest.h>

namespace hvcore::cache {
namespace {

TEST(CacheParts, CoverageAndTheMissingSpan) {
  const Parts parts = {{0, 10}, {20, 30}};
  struct Case {
    Span want;
    bool covered;
    std::optional<Span> missing;
  };
  const std::vector<Case> cases = {
      {{0, 10}, true, std::nullopt},   {{2, 5}, true, std::nullopt},
      {{25, 30}, true, std::nullopt},  {{5, 25}, false, Span{10, 20}},
      {{0, 40}, false, Span{10, 40}},  {{10, 20}, false, Span{10, 20}},
      {{30, 40}, false, Span{30, 40}}, {{8, 12}, false, Span{10, 12}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(covers(parts, c.want), c.covered) << c.want.first << "-" << c.want.second;
    EXPECT_EQ(missing_span(parts, c.want), c.missing) << c.want.first << "-" << c.want.second;
  }
  EXPECT_EQ(missing_span({}, {3, 7}), (Span{3, 7}));
}

TEST(CacheParts, JoiningAndFinding) {
  struct Case {
    Parts parts;
    Span added;
    Parts expected;
  };
  const std::vector<Case> cases = {
      {{}, {5, 9}, {{5, 9}}},
      {{{0, 10}}, {20, 30}, {{0, 10}, {20, 30}}},
      {{{20, 30}}, {0, 10}, {{0, 10}, {20, 30}}},
      {{{0, 10}}, {10, 20}, {{0, 20}}},  // touching ranges become one
      {{{0, 10}, {20, 30}}, {5, 25}, {{0, 30}}},
      {{{0, 10}, {20, 30}, {40, 50}}, {15, 45}, {{0, 10}, {15, 50}}},
      {{{5, 10}}, {0, 40}, {{0, 40}}},
  };
  for (const auto &c : cases) EXPECT_EQ(merged(c.parts, c.added), c.expected);

  const Parts parts = {{0, 10}, {20, 30}, {35, 40}};
  EXPECT_EQ(body_offset(parts, 0), 0u);
  EXPECT_EQ(body_offset(parts, 9), 9u);
  EXPECT_EQ(body_offset(parts, 20), 10u);
  EXPECT_EQ(body_offset(parts, 36), 21u);
  EXPECT_EQ(held_bytes(parts), 25u);
}

}  // namespace
}  // namespace hvcore::cache
