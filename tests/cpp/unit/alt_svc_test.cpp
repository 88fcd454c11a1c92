// HTTP/3 alternatives: what an Alt-Svc field says, and how an origin's use of
// QUIC follows advertisements, failures and time.
#include "base/alt_svc.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace hvcore {
namespace {

struct FieldCase {
  const char *value;
  bool clear;
  std::optional<int64_t> max_age;
};

TEST(AltSvc, ReadsTheOriginsOwnH3Alternative) {
  const FieldCase cases[] = {
      {"h3=\":443\"", false, 86400},
      {"h3=\":443\"; ma=3600", false, 3600},
      {"h3=\":443\";ma=\"60\"; persist=1", false, 60},
      {"h3=\"example.com:443\"; ma=5", false, 5},
      {"h3=\"EXAMPLE.com:443\"", false, 86400},
      {"clear", true, std::nullopt},
      // Other protocols, drafts, hosts and ports are not ours to use.
      {"h2=\":443\"", false, std::nullopt},
      {"h3-29=\":443\"", false, std::nullopt},
      {"h3=\":8443\"", false, std::nullopt},
      {"h3=\"other.example:443\"", false, std::nullopt},
      {"h3-29=\":443\", h3=\":443\"; ma=7", false, 7},
      // Malformed members are skipped, the rest still read.
      {"h3=:443, h3=\":443\"; ma=9", false, 9},
      {"h3=\":443\"; ma=soon", false, std::nullopt},
      {"h3=\":443", false, std::nullopt},
      {"h3=\":443\\\"", false, std::nullopt},
      {"h3=\":443\"; ma=99999999999999999999999", false, INT64_MAX},
      {"", false, std::nullopt},
  };
  for (const FieldCase &c : cases) {
    const AltSvcField f = parse_alt_svc(c.value, "example.com", 443);
    EXPECT_EQ(f.clear, c.clear) << c.value;
    EXPECT_EQ(f.h3_max_age, c.max_age) << c.value;
  }
}

TEST(AltSvc, AnOriginsUseFollowsAdvertisementsFailuresAndTime) {
  using Use = AltServices::Use;
  const std::string origin = "https://example.com:443";
  const auto t0 = AltServices::Clock::now();
  const int64_t now = 1000000;
  std::vector<AltSvcEntry> persisted;
  AltServices s;
  s.set_persist([&](const AltSvcEntry &e) { persisted.push_back(e); });

  EXPECT_EQ(s.use_for(origin, now, t0), Use::None);
  s.advertised(origin, "h3=\":443\"; ma=100", now);
  EXPECT_EQ(s.use_for("https://example.com:8443", now, t0), Use::None);
  EXPECT_EQ(s.use_for(origin, now + 100, t0), Use::None);  // expired
  // One race at a time; an abandoned one is given to the next request.
  EXPECT_EQ(s.use_for(origin, now, t0), Use::Try);
  EXPECT_EQ(s.use_for(origin, now, t0), Use::None);
  s.race_abandoned(origin);
  EXPECT_EQ(s.use_for(origin, now, t0), Use::Try);

  s.reached(origin);
  EXPECT_EQ(s.use_for(origin, now, t0), Use::Working);
  // Broken: TCP for 5 minutes, then raced again; each failure doubles it.
  s.broken(origin, t0);
  EXPECT_EQ(s.use_for(origin, now, t0 + std::chrono::minutes(4)), Use::None);
  EXPECT_EQ(s.use_for(origin, now, t0 + std::chrono::minutes(5)), Use::Try);
  s.broken(origin, t0);
  EXPECT_EQ(s.use_for(origin, now, t0 + std::chrono::minutes(9)), Use::None);
  EXPECT_EQ(s.use_for(origin, now, t0 + std::chrono::minutes(10)), Use::Try);

  // A field without h3 withdraws it, as "clear" does.
  s.advertised(origin, "h2=\":443\"", now);
  EXPECT_EQ(s.use_for(origin, now, t0), Use::None);
  ASSERT_EQ(persisted.size(), 2u);
  EXPECT_EQ(persisted[0].expires, now + 100);
  EXPECT_EQ(persisted[1].expires, 0);

  // Loaded entries start untried; expired ones are dropped.
  AltServices next;
  next.load({{origin, now + 50}, {"https://old.example:443", now - 1}}, now);
  EXPECT_EQ(next.use_for(origin, now, t0), Use::Try);
  EXPECT_EQ(next.use_for("https://old.example:443", now, t0), Use::None);
}

}  // namespace
}  // namespace hvcore
