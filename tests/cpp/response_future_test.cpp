// Taking the response head: blocking and polling, failures in its place.
#include <thread>

#include "request_test_support.h"

using namespace request_test;
using halvane::Error;
using halvane::NotReady;
using halvane::RequestError;
using halvane::Response;

namespace {

std::string text(const std::vector<uint8_t> &bytes) { return {bytes.begin(), bytes.end()}; }

TEST_F(RequestTest, WaitGivesTheHeadAndItsBody) {
  Started s = start();
  respond(s.handle, 204, "HTTP/1.1 204\r\nA: b\r\n");
  body(s.handle, "payload");
  complete(s.handle, 0);
  auto result = std::move(s.future).wait();
  ASSERT_TRUE(result.ok());
  Response response = std::move(result).value();
  EXPECT_EQ(response.status, 204);
  EXPECT_EQ(text(response.headers), "HTTP/1.1 204\r\nA: b\r\n");
  EXPECT_EQ(std::get<halvane::Chunk>(response.body.blocking_next()),
            halvane::Chunk({'p', 'a', 'y', 'l', 'o', 'a', 'd'}));
  EXPECT_TRUE(std::holds_alternative<halvane::End>(response.body.blocking_next()));
}

TEST_F(RequestTest, UntakenHeadIsReplacedByALaterOne) {
  Started s = start();
  respond(s.handle, 301, "first");
  respond(s.handle, 200, "second");
  auto head = s.future.try_take();
  ASSERT_TRUE(std::holds_alternative<Response>(head));
  EXPECT_EQ(std::get<Response>(head).status, 200);
  EXPECT_EQ(text(std::get<Response>(head).headers), "second");
  // A head after the first was handed out is never handed out again.
  respond(s.handle, 500, "third");
  EXPECT_TRUE(std::holds_alternative<NotReady>(s.future.try_take()));
}

TEST_F(RequestTest, FailureBeforeAnyHeadIsTakenOnce) {
  Started s = start();
  EXPECT_TRUE(std::holds_alternative<NotReady>(s.future.try_take()));
  redirect(s.handle, 302, "", "", "");
  EXPECT_TRUE(std::holds_alternative<NotReady>(s.future.try_take()));
  complete(s.handle, 6, -7);
  auto head = s.future.try_take();
  ASSERT_TRUE(std::holds_alternative<RequestError>(head));
  EXPECT_EQ(std::get<RequestError>(head), (RequestError{Error::Kind::Timeout, -7}));
  EXPECT_EQ(std::get<RequestError>(head).display(), "Timeout (Chromium net error -7)");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::holds_alternative<NotReady>(s.future.try_take()));
}

TEST_F(RequestTest, FailureAfterTheHeadReachesOnlyTheBody) {
  Started s = start();
  respond(s.handle, 200, "h");
  complete(s.handle, 8, -101);
  auto result = std::move(s.future).wait();
  ASSERT_TRUE(result.ok());
  auto item = result.value().body.blocking_next();
  ASSERT_TRUE(std::holds_alternative<RequestError>(item));
  EXPECT_EQ(std::get<RequestError>(item), (RequestError{Error::Kind::Network, -101}));
}

// A Core that reports success without ever sending a head must not leave the
// caller waiting for ever: both forms report an empty response.
TEST_F(RequestTest, SuccessWithoutHeadIsAnEmptyResponse) {
  const RequestError empty{Error::Kind::Protocol, -324};
  {
    Started s = start();
    complete(s.handle, 0);
    auto result = std::move(s.future).wait();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), empty);
  }
  {
    Started s = start();
    EXPECT_TRUE(std::holds_alternative<NotReady>(s.future.try_take()));
    complete(s.handle, 0);
    auto head = s.future.try_take();
    ASSERT_TRUE(std::holds_alternative<RequestError>(head));
    EXPECT_EQ(std::get<RequestError>(head), empty);
    EXPECT_TRUE(std::holds_alternative<NotReady>(s.future.try_take()));
  }
}

// A thread blocked in wait() is woken by the head or by the final callback,
// delivered from the Core's own thread after the waiter went to sleep.
struct WakeCase {
  const char *name;
  bool head;
  int32_t code;
  RequestError failure;  // what wait() gives without a head
};

class FutureWakeTest : public RequestTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(FutureWakeTest, BlockedWaiterIsWoken) {
  Started s = start();
  std::optional<halvane::Result<Response, RequestError>> result;
  std::thread waiter([&] { result.emplace(std::move(s.future).wait()); });
  fake_post_sleep(20);  // let the waiter block first
  if (GetParam().head) respond(s.handle, 200, "h", "post");
  complete(s.handle, GetParam().code, -1, "post");
  waiter.join();
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->ok(), GetParam().head);
  if (!GetParam().head) {
    EXPECT_EQ(result->error(), GetParam().failure);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wakes, FutureWakeTest,
    ::testing::Values(WakeCase{"Head", true, 0, {Error::Kind::Network, 0}},
                      WakeCase{"Failure", false, -20, {Error::native(-20), -1}},
                      WakeCase{"SuccessWithoutHead", false, 0, {Error::Kind::Protocol, -324}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RequestTest, WaitReleasesTheFutureOwnerships) {
  std::optional<halvane::ResponseFuture> future;
  {
    Started s = start();
    future.emplace(std::move(s.future));
    complete(s.handle, 8, -2);
  }
  EXPECT_EQ(calls("hv_request_release"), 0u) << "the future keeps the handle";
  auto result = std::move(*future).wait();
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(calls("hv_request_release"), 1u) << "gone once wait returned";
}

}  // namespace
