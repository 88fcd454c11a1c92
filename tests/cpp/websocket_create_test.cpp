// Creation record, creation failures, start, and the forwarding operations.
#include <thread>
#include <vector>

#include "websocket_test_support.h"

namespace websocket_test {
namespace {

using halvane::Duration;
using halvane::Header;

class WebSocketCreate : public WebSocketTest {};

TEST_F(WebSocketCreate, DefaultRecord) {
  auto [ws, core] = create();
  const auto records = fake::websocket_records();
  ASSERT_EQ(records.size(), 1u);
  const fake::WebSocketRecord &r = records[0];
  EXPECT_EQ(r.size, sizeof(hv_websocket_record));
  EXPECT_EQ(r.abi, 8u);
  EXPECT_EQ(r.engine, engine_->handle());
  EXPECT_EQ(r.url.bytes, "ws://127.0.0.1:9/chat");
  EXPECT_EQ(r.url.len, 21u);
  EXPECT_TRUE(r.origin.is_null);
  EXPECT_EQ(r.origin.len, 0u);
  EXPECT_TRUE(r.protocols_null);
  EXPECT_EQ(r.protocol_count, 0u);
  EXPECT_TRUE(r.headers_null);
  EXPECT_EQ(r.header_count, 0u);
  EXPECT_EQ(r.callbacks_size, sizeof(hv_websocket_callbacks));
  EXPECT_EQ(r.callbacks_abi, 8u);
  EXPECT_NE(r.callbacks.user_data, nullptr);
  EXPECT_NE(r.callbacks.on_open, nullptr);
  EXPECT_NE(r.callbacks.on_message, nullptr);
  EXPECT_NE(r.callbacks.on_closing, nullptr);
  EXPECT_NE(r.callbacks.on_closed, nullptr);
  EXPECT_NE(r.callbacks.on_failure, nullptr);
  EXPECT_EQ(r.timeout_ms, 0u);
}

TEST_F(WebSocketCreate, FullRecordKeepsOrderAndDuplicates) {
  WebSocketConfig cfg = WebSocketConfig::create("ws://127.0.0.1:9/", "http://127.0.0.1");
  cfg.protocols = {"chat", "", "superchat"};
  cfg.headers = {Header{"X-A", "1"}, Header{"X-A", "2"}, Header{"Empty", ""}};
  cfg.timeout = Duration{1, 500'000'000};
  auto [ws, core] = create(std::move(cfg));
  const fake::WebSocketRecord r = fake::websocket_records().at(0);
  EXPECT_FALSE(r.origin.is_null);
  EXPECT_EQ(r.origin.bytes, "http://127.0.0.1");
  EXPECT_FALSE(r.protocols_null);
  ASSERT_EQ(r.protocol_count, 3u);
  EXPECT_EQ(r.protocols[0].bytes, "chat");
  EXPECT_EQ(r.protocols[1].len, 0u);
  EXPECT_EQ(r.protocols[2].bytes, "superchat");
  EXPECT_FALSE(r.headers_null);
  ASSERT_EQ(r.header_count, 3u);
  EXPECT_EQ(r.headers[0].name.bytes, "X-A");
  EXPECT_EQ(r.headers[0].value.bytes, "1");
  EXPECT_EQ(r.headers[1].value.bytes, "2");
  EXPECT_EQ(r.headers[2].name.bytes, "Empty");
  EXPECT_EQ(r.headers[2].value.len, 0u);
  EXPECT_EQ(r.timeout_ms, 1500u);
}

struct TimeoutCase {
  std::optional<Duration> timeout;
  uint64_t millis;
};

class WebSocketTimeout : public WebSocketTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(WebSocketTimeout, WholeMillisecondsSaturating) {
  WebSocketConfig cfg = config();
  cfg.timeout = GetParam().timeout;
  auto [ws, core] = create(std::move(cfg));
  EXPECT_EQ(fake::websocket_records().at(0).timeout_ms, GetParam().millis);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebSocketTimeout,
    ::testing::Values(TimeoutCase{std::nullopt, 0}, TimeoutCase{Duration{0, 999'999}, 0},
                      TimeoutCase{Duration{0, 1'999'999}, 1}, TimeoutCase{Duration{2, 0}, 2000},
                      TimeoutCase{Duration{UINT64_MAX, 999'999'999}, UINT64_MAX},
                      TimeoutCase{Duration{UINT64_MAX / 1000, 999'999'999}, UINT64_MAX}));

struct CreateFailure {
  int32_t code;
  bool zero_handle;
  Error expected;
};

class WebSocketCreateFailure : public WebSocketTest,
                               public ::testing::WithParamInterface<CreateFailure> {};

// Nothing is left behind: no handle to release, and the shared state (with
// the Core's ownership) is freed, which the leak checker confirms.
TEST_P(WebSocketCreateFailure, MapsCodeAndLeavesNothing) {
  fake_push_result("hv_websocket_create", GetParam().code);
  if (GetParam().zero_handle) fake_push_handle("hv_websocket_create", 0);
  auto ws = engine_->websocket(config());
  ASSERT_FALSE(ws.ok());
  EXPECT_EQ(ws.error(), GetParam().expected);
  EXPECT_EQ(fake_call_count("hv_websocket_release"), 0u);
  EXPECT_EQ(fake_live_count("websocket"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSocketCreateFailure,
                         ::testing::Values(CreateFailure{9, false, Error::Kind::Tls},
                                           CreateFailure{1, false, Error::Kind::InvalidArgument},
                                           CreateFailure{16, false, Error::native(16)},
                                           CreateFailure{-3, false, Error::native(-3)},
                                           CreateFailure{0, true,
                                                         Error::Kind::InitializationFailed}));

TEST_F(WebSocketCreate, ReleaseCallsCoreOnce) {
  {
    auto [ws, core] = create();
    WebSocket copy = ws;
    EXPECT_EQ(fake_live_count("websocket"), 1u);
  }
  EXPECT_EQ(fake_call_count("hv_websocket_release"), 1u);
  EXPECT_EQ(fake_live_count("websocket"), 0u);
  EXPECT_EQ(fake_misuse_count(), 0u);
}

TEST_F(WebSocketCreate, SecondStartIsInvalidStateWithoutCoreCall) {
  auto [ws, core] = create();
  ASSERT_TRUE(ws.start().ok());
  auto again = ws.start();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), Error::Kind::InvalidState);
  EXPECT_EQ(again.error().display(), "InvalidState");
  EXPECT_EQ(fake_call_count("hv_websocket_start"), 1u);
  core.closed(1000, "");
}

TEST_F(WebSocketCreate, RefusedStartCanBeRetried) {
  auto [ws, core] = create();
  fake_push_result("hv_websocket_start", 8);
  auto first = ws.start();
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error(), Error::Kind::Network);
  EXPECT_TRUE(ws.start().ok());
  EXPECT_EQ(fake_call_count("hv_websocket_start"), 2u);
  core.closed(1000, "");
}

TEST_F(WebSocketCreate, RacingStartsReachTheCoreOnce) {
  for (int round = 0; round < 50; ++round) {
    auto [ws, core] = create();
    std::atomic<int> successes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&ws = ws, &successes] {
        if (ws.start().ok()) successes.fetch_add(1);
      });
    for (auto &t : threads) t.join();
    EXPECT_EQ(successes.load(), 1);
    core.closed(1000, "");
  }
  EXPECT_EQ(fake_call_count("hv_websocket_start"), 50u);
}

TEST_F(WebSocketCreate, ForwardingOperationsMapCoreResults) {
  auto [ws, core] = create();
  EXPECT_TRUE(ws.send_text("hi").ok());
  fake_push_result("hv_websocket_send", 5);
  EXPECT_EQ(ws.send_binary(std::vector<uint8_t>{1}).error(), Error::Kind::InvalidState);
  fake_push_result("hv_websocket_close", -7);
  EXPECT_EQ(ws.close(1000, "bye").error(), Error::native(-7));
  fake_push_result("hv_websocket_cancel", 7);
  EXPECT_EQ(ws.cancel().error(), Error::Kind::Canceled);
  EXPECT_TRUE(ws.cancel().ok());
  EXPECT_EQ(fake_call_count("hv_websocket_send"), 2u);
  EXPECT_EQ(fake_call_count("hv_websocket_close"), 1u);
  EXPECT_EQ(fake_call_count("hv_websocket_cancel"), 2u);
  EXPECT_EQ(fake_misuse_count(), 0u);
}

// Lengths the C interface cannot carry are refused before the Core is called.
// The views are never read, so they need no memory behind them.
TEST_F(WebSocketCreate, OversizedPayloadsAreInvalidArgument) {
  if constexpr (sizeof(size_t) <= 4) GTEST_SKIP() << "lengths cannot exceed 32 bits here";
  auto [ws, core] = create();
  static const char anchor = 0;
  const size_t too_long = size_t{UINT32_MAX} + 1;
  const std::string_view text(&anchor, too_long);
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t *>(&anchor), too_long);
  EXPECT_EQ(ws.send_text(text).error(), Error::Kind::InvalidArgument);
  EXPECT_EQ(ws.send_binary(data).error(), Error::Kind::InvalidArgument);
  EXPECT_EQ(ws.close(1000, text).error(), Error::Kind::InvalidArgument);
  EXPECT_EQ(fake_call_count("hv_websocket_send"), 0u);
  EXPECT_EQ(fake_call_count("hv_websocket_close"), 0u);
}

// What the Core receives from sends and closes; needs the stand-in's entry
// points to record their arguments.
TEST_F(WebSocketCreate, SendAndCloseArguments) {
  auto [ws, core] = create();
  ASSERT_TRUE(ws.send_text("").ok());
  if (fake_websocket_send_count() == 0) GTEST_SKIP() << "stand-in does not record sends yet";
  ASSERT_TRUE(ws.send_binary({}).ok());
  ASSERT_TRUE(ws.send_text("h\xFFi").ok());
  const uint8_t raw[] = {0, 255, 7};
  ASSERT_TRUE(ws.send_binary(raw).ok());
  ASSERT_TRUE(ws.close(1000, "").ok());
  ASSERT_TRUE(ws.close(65535, "going away").ok());

  const auto sends = fake::websocket_sends();
  ASSERT_EQ(sends.size(), 4u);
  for (const auto &s : sends) EXPECT_EQ(s.handle, core.ws);
  EXPECT_EQ(sends[0].type, 1u);
  EXPECT_TRUE(sends[0].data.is_null);
  EXPECT_EQ(sends[0].data.len, 0u);
  EXPECT_EQ(sends[1].type, 2u);
  EXPECT_TRUE(sends[1].data.is_null);
  EXPECT_EQ(sends[2].type, 1u);
  EXPECT_EQ(sends[2].data.bytes, "h\xFFi");  // sent as given, not validated
  EXPECT_EQ(sends[3].type, 2u);
  EXPECT_EQ(sends[3].data.bytes, std::string("\0\xFF\x07", 3));

  const auto closes = fake::websocket_closes();
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].code, 1000u);
  EXPECT_FALSE(closes[0].reason.is_null);  // the pointer is passed even when empty
  EXPECT_EQ(closes[0].reason.len, 0u);
  EXPECT_EQ(closes[1].code, 65535u);
  EXPECT_EQ(closes[1].reason.bytes, "going away");
}

}  // namespace
}  // namespace websocket_test
