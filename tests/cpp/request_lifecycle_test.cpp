// Starting, ownership of the shared state, the event callback and the guard
// that keeps failures away from the Core.
#include <thread>
#include <vector>

#include "request_test_support.h"

using namespace request_test;
using halvane::Error;
using halvane::RequestError;
using halvane::RequestShared;

namespace {

TEST_F(RequestTest, SecondStartIsInvalidStateWithoutCallingTheCore) {
  Started s = start();
  auto again = s.request.start();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), Error::Kind::InvalidState);
  EXPECT_EQ(calls("hv_request_start"), 1u);
}

TEST_F(RequestTest, RefusedStartCanBeRetried) {
  halvane::Request request = make();
  fake_push_result("hv_request_start", 8);
  auto first = request.start();
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error(), Error::Kind::Network);
  auto second = request.start();
  EXPECT_TRUE(second.ok());
  EXPECT_EQ(calls("hv_request_start"), 2u);
}

TEST_F(RequestTest, RacingStartsReachTheCoreOnce) {
  halvane::Request request = make();
  std::atomic<int> ok{0}, invalid{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      auto r = request.start();
      if (r.ok())
        ++ok;
      else if (r.error() == Error::Kind::InvalidState)
        ++invalid;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(ok.load(), 1);
  EXPECT_EQ(invalid.load(), 7);
  EXPECT_EQ(calls("hv_request_start"), 1u);
}

// Who drops the last reference to the shared state: every order must free it
// exactly once, and only after the Core's last callback returned.
TEST_F(RequestTest, UnstartedRequestFreesItsStateOnRelease) {
  const long before = RequestShared::live_count();
  Tracker tracker;
  {
    halvane::Request request = make();
    request.set_event_callback(tracker.callback());
    EXPECT_EQ(RequestShared::live_count(), before + 1);
  }
  EXPECT_EQ(calls("hv_request_release"), 1u);
  EXPECT_EQ(tracker.destroyed.load(), 1);
  EXPECT_EQ(tracker.calls.load(), 0);
  EXPECT_EQ(RequestShared::live_count(), before);
}

TEST_F(RequestTest, RefusedStartThenReleaseFreesTheState) {
  const long before = RequestShared::live_count();
  {
    halvane::Request request = make();
    fake_push_result("hv_request_start", 5);
    EXPECT_FALSE(request.start().ok());
  }
  EXPECT_EQ(RequestShared::live_count(), before);
}

TEST_F(RequestTest, ReleasedStartedRequestStillGetsItsCallbacks) {
  const long before = RequestShared::live_count();
  Tracker tracker;
  uint64_t handle = 0;
  {
    Started s = start();
    s.request.set_event_callback(tracker.callback());
    handle = s.handle;
  }
  EXPECT_EQ(calls("hv_request_release"), 1u);
  EXPECT_EQ(tracker.destroyed.load(), 0) << "the Core still owns the state";
  EXPECT_EQ(respond(handle, 200, "h"), 1);
  EXPECT_EQ(body(handle, "x"), 1);
  EXPECT_EQ(redirect(handle, 301, "", "a", "b"), 1);
  EXPECT_EQ(complete(handle, 0), 1);
  EXPECT_EQ(tracker.calls.load(), 4);
  EXPECT_EQ(tracker.destroyed.load(), 1);
  EXPECT_EQ(RequestShared::live_count(), before);
}

TEST_F(RequestTest, CompletionBeforeReleaseKeepsStateForTheOwners) {
  const long before = RequestShared::live_count();
  Tracker tracker;
  {
    Started s = start();
    s.request.set_event_callback(tracker.callback());
    complete(s.handle, 0);
    EXPECT_EQ(tracker.destroyed.load(), 0);
    EXPECT_TRUE(s.request.is_finished());
  }
  EXPECT_EQ(tracker.destroyed.load(), 1);
  EXPECT_EQ(RequestShared::live_count(), before);
}

TEST_F(RequestTest, CompletionInsideTheReleaseCall) {
  const long before = RequestShared::live_count();
  Tracker tracker;
  {
    Started s = start();
    s.request.set_event_callback(tracker.callback());
    complete(s.handle, 7, -3, "hv_request_release");
  }
  EXPECT_EQ(tracker.calls.load(), 1);
  EXPECT_EQ(tracker.destroyed.load(), 1);
  EXPECT_EQ(RequestShared::live_count(), before);
}

TEST_F(RequestTest, CompletionOnAnotherThreadRacingTheRelease) {
  const long before = RequestShared::live_count();
  for (int i = 0; i < 200; ++i) {
    Started s = start();
    complete(s.handle, 0, 0, "post");
  }
  fake_wait_idle();
  EXPECT_EQ(RequestShared::live_count(), before);
}

TEST_F(RequestTest, EventCallbackRunsWithoutLocksAfterTheUpdate) {
  Started s = start();
  std::vector<bool> seen;
  halvane::Request request = s.request;
  request.set_event_callback(std::make_shared<const halvane::EventCallback>([&] {
    // Would deadlock if the state mutex were still held.
    seen.push_back(request.is_finished());
  }));
  EXPECT_TRUE(seen.empty()) << "installing does not fire";
  respond(s.handle, 200, "");
  complete(s.handle, 0);
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));
  request.clear_event_callback();
}

// The released callback's destructor touches the request's callback again:
// that would deadlock if it ran under the event-callback mutex.
struct Reentrant {
  halvane::Request request;
  ~Reentrant() { request.clear_event_callback(); }
};

halvane::EventCallbackPtr reentrant_callback(const halvane::Request &request) {
  auto probe = std::make_shared<Reentrant>(Reentrant{request});
  return std::make_shared<const halvane::EventCallback>([probe] {});
}

TEST_F(RequestTest, RemovedCallbackIsReleasedOutsideTheMutex) {
  halvane::Request request = make();
  request.set_event_callback(reentrant_callback(request));
  request.clear_event_callback();
  request.set_event_callback(reentrant_callback(request));
  request.set_event_callback(nullptr);
}

// ---- failure guard -------------------------------------------------------

enum class Kind { Response, Body, Redirect };

class CallbackPanicTest : public RequestTest, public ::testing::WithParamInterface<Kind> {
 protected:
  void deliver(uint64_t handle) {
    switch (GetParam()) {
      case Kind::Response:
        respond(handle, 200, "h");
        break;
      case Kind::Body:
        body(handle, "abc");
        break;
      case Kind::Redirect:
        redirect(handle, 302, "", "u", "v");
        break;
    }
  }
};

TEST_P(CallbackPanicTest, FailureWhilePendingBecomesCallbackPanic) {
  Started s = start();
  Tracker tracker;
  tracker.throwing = 1;
  s.request.set_event_callback(tracker.callback());
  deliver(s.handle);
  EXPECT_EQ(tracker.calls.load(), 2) << "called once more after the failure";
  EXPECT_TRUE(s.request.is_finished());
  if (GetParam() == Kind::Body) {
    EXPECT_EQ(last_body_result(s.handle), 1);
  }
  if (GetParam() != Kind::Response) {
    auto head = s.future.try_take();
    ASSERT_TRUE(std::holds_alternative<RequestError>(head));
    EXPECT_EQ(std::get<RequestError>(head), (RequestError{Error::Kind::CallbackPanic, 0}));
  }
  // The Core's own final word still replaces it.
  complete(s.handle, 0);
  EXPECT_EQ(tracker.calls.load(), 3);
}

TEST_P(CallbackPanicTest, RepeatedFailureIsContained) {
  Started s = start();
  Tracker tracker;
  tracker.throwing = 1000;
  s.request.set_event_callback(tracker.callback());
  deliver(s.handle);
  EXPECT_EQ(tracker.calls.load(), 2);
  deliver(s.handle);  // already failed: no extra call
  EXPECT_EQ(tracker.calls.load(), 3);
  complete(s.handle, 8, -105);
  EXPECT_EQ(tracker.calls.load(), 4);
  if (GetParam() == Kind::Body) {
    EXPECT_EQ(fake::body_results(s.handle), (std::vector<int>{1, 1}));
  }
}

INSTANTIATE_TEST_SUITE_P(Callbacks, CallbackPanicTest,
                         ::testing::Values(Kind::Response, Kind::Body, Kind::Redirect));

TEST_F(RequestTest, FailureDuringCompletionKeepsTheOutcomeAndFreesTheState) {
  const long before = RequestShared::live_count();
  Tracker tracker;
  tracker.throwing = 1000;
  {
    Started s = start();
    s.request.set_event_callback(tracker.callback());
    complete(s.handle, 0);
    EXPECT_EQ(tracker.calls.load(), 1) << "no extra call once the outcome is final";
    // Still the Core's success (without a head), not a CallbackPanic.
    auto head = s.future.try_take();
    ASSERT_TRUE(std::holds_alternative<RequestError>(head));
    EXPECT_EQ(std::get<RequestError>(head).error, Error::Kind::Protocol);
  }
  EXPECT_EQ(RequestShared::live_count(), before) << "the Core's ownership was dropped";
}

TEST_F(RequestTest, PauseDecisionIsDroppedWhenTheEventCallbackFails) {
  Started s = start();
  Tracker tracker;
  tracker.throwing = 1;
  s.request.set_event_callback(tracker.callback());
  body(s.handle, std::string(halvane::kPauseThreshold, 'x'));
  EXPECT_EQ(last_body_result(s.handle), 1) << "a failed on_body never pauses the Core";
}

}  // namespace
