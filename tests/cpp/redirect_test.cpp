// The redirect queue: order, lossy texts, and the bounded wait.
#include <condition_variable>
#include <thread>

#include "client/bounded_wait.h"
#include "client/utf8.h"
#include "request_test_support.h"

using namespace request_test;
using halvane::Duration;
using halvane::Error;
using halvane::Redirect;

namespace {

constexpr Duration kForever{86'400, 0};
constexpr Duration kShort{0, 20'000'000};

TEST_F(RequestTest, RedirectsAreTakenInOrder) {
  Started s = start();
  redirect(s.handle, 301, "Location: /a\r\n", "http://a/a", "GET");
  redirect(s.handle, 307, "", "", "");
  auto first = s.request.take_redirect();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->status, 301);
  EXPECT_EQ(std::string(first->headers.begin(), first->headers.end()), "Location: /a\r\n");
  EXPECT_EQ(first->first_text, "http://a/a");
  EXPECT_EQ(first->second_text, "GET");
  auto second = s.request.take_redirect();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->status, 307);
  EXPECT_TRUE(second->headers.empty());
  EXPECT_TRUE(second->first_text.empty());
  EXPECT_TRUE(second->second_text.empty());
  EXPECT_FALSE(s.request.take_redirect().has_value());
}

TEST_F(RequestTest, RedirectAfterTheEndIsStillQueued) {
  Started s = start();
  fake_request_redirect(s.handle, "hv_request_follow_redirect", 302, nullptr, 0, nullptr, 0,
                        nullptr, 0);
  complete(s.handle, 0, 0, "hv_request_follow_redirect");
  EXPECT_TRUE(s.request.follow_redirect().ok());
  EXPECT_TRUE(s.request.is_finished());
  auto r = s.request.take_redirect();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status, 302);
}

struct Utf8Case {
  std::string input;
  std::string expected;
};

class LossyTextTest : public RequestTest, public ::testing::WithParamInterface<Utf8Case> {};

#define FFFD "\xEF\xBF\xBD"

TEST_P(LossyTextTest, EachInvalidSequenceBecomesOneReplacement) {
  EXPECT_EQ(halvane::copy_string(bytes(GetParam().input), len(GetParam().input)),
            GetParam().expected);
  // The same through the Core's callback, for both texts.
  Started s = start();
  redirect(s.handle, 302, "", GetParam().input, GetParam().input);
  auto r = s.request.take_redirect();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->first_text, GetParam().expected);
  EXPECT_EQ(r->second_text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LossyTextTest,
    ::testing::Values(Utf8Case{"plain", "plain"},
                      Utf8Case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      Utf8Case{"a\xFF"
                               "b",
                               "a" FFFD "b"},
                      Utf8Case{"\x80\xBF", FFFD FFFD},                    // lone continuations
                      Utf8Case{"\xC0\xAF", FFFD FFFD},                    // overlong
                      Utf8Case{"\xE0\x80\xAF", FFFD FFFD FFFD},           // overlong
                      Utf8Case{"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // above U+10FFFF
                      Utf8Case{"\xE2\x82"
                               "x",
                               FFFD "x"},              // truncated, one unit
                      Utf8Case{"\xF0\x9F\x98", FFFD},  // truncated at the end
                      Utf8Case{"\xF0\x9F\x98\xC3\xA9", FFFD "\xC3\xA9"},
                      Utf8Case{std::string("a\0b", 3), std::string("a\0b", 3)}));

TEST_F(RequestTest, NullTextsOfLengthZeroAreEmpty) {
  Started s = start();
  fake_request_redirect(s.handle, nullptr, 301, nullptr, 0, nullptr, 0, nullptr, 0);
  auto r = s.request.take_redirect();
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->headers.empty());
  EXPECT_TRUE(r->first_text.empty());
}

// ---- wait_for_redirect -----------------------------------------------------

TEST_F(RequestTest, QueuedRedirectIsReturnedWithoutWaiting) {
  Started s = start();
  redirect(s.handle, 308, "", "u", "v");
  // A wait would never end here: nothing else is coming.
  auto r = s.request.wait_for_redirect(kForever);
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r.value().has_value());
  EXPECT_EQ(r.value()->status, 308);
}

// What a waiter blocked with a long timeout sees when one callback arrives.
enum class Event { Redirect, Body, Head, Success, Failure };

struct WaitCase {
  const char *name;
  Event event;
};

class WaitForRedirectTest : public RequestTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitForRedirectTest, OneWakeUpEndsTheWait) {
  Started s = start();
  std::optional<halvane::Result<std::optional<Redirect>>> result;
  std::thread waiter([&] { result.emplace(s.request.wait_for_redirect(kForever)); });
  fake_post_sleep(20);
  switch (GetParam().event) {
    case Event::Redirect:
      redirect(s.handle, 302, "", "n", "m", "post");
      break;
    case Event::Body:
      body(s.handle, "b", "post");
      break;
    case Event::Head:
      respond(s.handle, 200, "", "post");
      break;
    case Event::Success:
      complete(s.handle, 0, 0, "post");
      break;
    case Event::Failure:
      complete(s.handle, 9, -200, "post");
      break;
  }
  waiter.join();
  ASSERT_TRUE(result.has_value());
  switch (GetParam().event) {
    case Event::Redirect:
      ASSERT_TRUE(result->ok());
      ASSERT_TRUE(result->value().has_value());
      EXPECT_EQ(result->value()->first_text, "n");
      break;
    case Event::Failure:
      ASSERT_FALSE(result->ok());
      EXPECT_EQ(result->error(), Error::Kind::Tls);  // the error alone, no net error
      break;
    default:
      ASSERT_TRUE(result->ok());
      EXPECT_FALSE(result->value().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(Events, WaitForRedirectTest,
                         ::testing::Values(WaitCase{"Redirect", Event::Redirect},
                                           WaitCase{"Body", Event::Body},
                                           WaitCase{"Head", Event::Head},
                                           WaitCase{"Success", Event::Success},
                                           WaitCase{"Failure", Event::Failure}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(RequestTest, FailedEarlierAndSilentGivesNothingAfterTheTimeout) {
  Started s = start();
  complete(s.handle, 8, -105);
  auto r = s.request.wait_for_redirect(kShort);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value().has_value());
}

// The bounded wait under wait_for_redirect: only the predicate ends it early,
// never a bare wake-up, and a timeout far beyond a 32-bit time_t still waits.
TEST(BoundedWait, WakeUpsWithoutChangeDoNotEndTheWait) {
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<bool> stop{false};
  std::thread waker([&] {
    while (!stop.load()) cv.notify_all();
  });
  std::unique_lock lock(mutex);
  EXPECT_FALSE(halvane::wait_at_most(cv, lock, kShort, [] { return false; }));
  stop = true;
  lock.unlock();
  waker.join();
}

TEST(BoundedWait, AHugeTimeoutWaitsForThePredicate) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::thread setter([&] {
    std::lock_guard lock(mutex);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(mutex);
  EXPECT_TRUE(halvane::wait_at_most(cv, lock, Duration{3'000'000'000, 0}, [&] { return done; }));
  lock.unlock();
  setter.join();
}

TEST_F(RequestTest, ConcurrentTakersGetEachRedirectOnce) {
  Started s = start();
  constexpr int kRedirects = 2000;
  std::atomic<int> taken{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> takers;
  std::mutex mutex;
  std::vector<int> statuses;
  for (int t = 0; t < 3; ++t)
    takers.emplace_back([&, t] {
      while (!done.load() || taken.load() < kRedirects) {
        auto r = t == 0 ? s.request.take_redirect() : s.request.wait_for_redirect(kShort).value();
        if (!r) continue;
        std::lock_guard lock(mutex);
        statuses.push_back(r->status);
        ++taken;
      }
    });
  for (int i = 0; i < kRedirects; ++i)
    redirect(s.handle, i, "", "", "", (i % 2) ? "post" : nullptr);
  fake_wait_idle();
  done = true;
  for (auto &t : takers) t.join();
  std::sort(statuses.begin(), statuses.end());
  ASSERT_EQ(statuses.size(), static_cast<size_t>(kRedirects));
  for (int i = 0; i < kRedirects; ++i) EXPECT_EQ(statuses[i], i);
}

}  // namespace
