// Admission of Core events: the payloads, the queue limits at their edges,
// the end of the stream, and failures inside the callbacks.
#include <stdexcept>
#include <string>
#include <vector>

#include "websocket_test_support.h"

namespace websocket_test {
namespace {

using halvane::MAX_BUFFERED_BYTES;
using halvane::MAX_QUEUED_EVENTS;
using halvane::MessageKind;

class WebSocketQueue : public WebSocketTest {};

const WebSocketFailure &failure_of(const std::optional<WebSocketEvent> &event) {
  static const WebSocketFailure none{Error::Kind::InvalidArgument, "not a failure", 0, 0};
  if (!event || !event->get_if<WebSocketFailure>()) {
    ADD_FAILURE() << "expected a failure event";
    return none;
  }
  return *event->get_if<WebSocketFailure>();
}

void expect_buffer_limit(const std::optional<WebSocketEvent> &event) {
  const WebSocketFailure &f = failure_of(event);
  EXPECT_EQ(f.error, Error::Kind::BufferLimit);
  EXPECT_EQ(f.message, "WebSocket event buffer limit exceeded");
  EXPECT_EQ(f.net_error, 0);
  EXPECT_EQ(f.response_code, 0);
  EXPECT_EQ(f.display(), "BufferLimit (Chromium net error 0, response 0)");
}

TEST_F(WebSocketQueue, PayloadsArriveAsGiven) {
  auto s = started();
  s.core.open("chat", "permessage-deflate");
  s.core.message("hi", 1, 1);
  s.core.message(std::string("\0\xFF", 2), 2, 0);
  s.core.message("x", 9, 1);
  s.core.closing();
  s.core.closed(1000, "done", 1);

  auto open = s.events.try_next();
  ASSERT_TRUE(open && open->get_if<WebSocketEvent::Open>());
  EXPECT_EQ(open->get_if<WebSocketEvent::Open>()->protocol, "chat");
  EXPECT_EQ(open->get_if<WebSocketEvent::Open>()->extensions, "permessage-deflate");

  const std::vector<std::pair<MessageKind, bool>> kinds = {
      {MessageKind::Text, true}, {MessageKind::Binary, false}, {MessageKind::Other, true}};
  const std::vector<std::string> data = {"hi", std::string("\0\xFF", 2), "x"};
  for (size_t i = 0; i < kinds.size(); ++i) {
    auto event = s.events.try_next();
    ASSERT_TRUE(event && event->get_if<WebSocketEvent::Message>());
    const auto &m = *event->get_if<WebSocketEvent::Message>();
    EXPECT_EQ(std::string(m.data.begin(), m.data.end()), data[i]);
    EXPECT_EQ(m.kind, kinds[i].first);
    EXPECT_EQ(m.fin, kinds[i].second);
  }
  auto closing = s.events.try_next();
  ASSERT_TRUE(closing && closing->get_if<WebSocketEvent::Closing>());
  auto closed = s.events.try_next();
  ASSERT_TRUE(closed && closed->get_if<WebSocketEvent::Closed>());
  EXPECT_EQ(closed->get_if<WebSocketEvent::Closed>()->code, 1000);
  EXPECT_EQ(closed->get_if<WebSocketEvent::Closed>()->reason, "done");
  EXPECT_TRUE(closed->get_if<WebSocketEvent::Closed>()->was_clean);
  EXPECT_FALSE(s.events.try_next());
  EXPECT_FALSE(s.events.blocking_next());
}

// Invalid UTF-8 in Core texts becomes U+FFFD; message data stay raw bytes.
TEST_F(WebSocketQueue, LossyTextsRawData) {
  auto s = started();
  s.core.open("a\xFF", "\xC3");
  s.core.message("\xFF\xFE", 1);
  s.core.closed(1001, "bye\xE2\x82", 0);
  auto open = s.events.try_next();
  EXPECT_EQ(open->get_if<WebSocketEvent::Open>()->protocol, "a\uFFFD");
  EXPECT_EQ(open->get_if<WebSocketEvent::Open>()->extensions, "\uFFFD");
  auto message = s.events.try_next();
  EXPECT_EQ(message->get_if<WebSocketEvent::Message>()->data, (std::vector<uint8_t>{0xFF, 0xFE}));
  auto closed = s.events.try_next();
  EXPECT_EQ(closed->get_if<WebSocketEvent::Closed>()->reason, "bye\uFFFD");
  EXPECT_FALSE(closed->get_if<WebSocketEvent::Closed>()->was_clean);
}

// A length of 0 must not read the pointer, whatever it is.
TEST_F(WebSocketQueue, ZeroLengthsAreNotRead) {
  auto s = started();
  const auto *bogus = reinterpret_cast<const uint8_t *>(uintptr_t{1});
  fake_websocket_open(s.core.ws, bogus, 0, bogus, 0, 0);
  fake_websocket_message(s.core.ws, 1, 1, bogus, 0, 0);
  fake_websocket_failure(s.core.ws, 8, -2, 0, bogus, 0, 0);
  s.core.mark_ended();
  EXPECT_EQ(s.events.try_next()->get_if<WebSocketEvent::Open>()->protocol, "");
  EXPECT_TRUE(s.events.try_next()->get_if<WebSocketEvent::Message>()->data.empty());
  EXPECT_EQ(failure_of(s.events.try_next()).message, "");
}

struct CloseCode {
  uint32_t argument;
  uint16_t code;
};

class WebSocketCloseCode : public WebSocketTest, public ::testing::WithParamInterface<CloseCode> {};

TEST_P(WebSocketCloseCode, KeepsLow16Bits) {
  auto s = started();
  s.core.closed(GetParam().argument, "");
  auto closed = s.events.try_next();
  ASSERT_TRUE(closed && closed->get_if<WebSocketEvent::Closed>());
  EXPECT_EQ(closed->get_if<WebSocketEvent::Closed>()->code, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSocketCloseCode,
                         ::testing::Values(CloseCode{1000, 1000}, CloseCode{0x000103E8, 1000},
                                           CloseCode{0xFFFFFFFF, 0xFFFF},
                                           CloseCode{0x12340000, 0}));

struct FailureCode {
  int32_t code;
  Error error;
  std::string display;
};

class WebSocketFailureCode : public WebSocketTest,
                             public ::testing::WithParamInterface<FailureCode> {};

// A failure callback always reports a failure: code 0 is Native(0), never
// success.
TEST_P(WebSocketFailureCode, MapsToError) {
  auto s = started();
  s.core.failure(GetParam().code, -105, 404, "refused\xFF");
  const auto event = s.events.try_next();
  const WebSocketFailure &f = failure_of(event);
  EXPECT_EQ(f.error, GetParam().error);
  EXPECT_EQ(f.message, "refused\uFFFD");
  EXPECT_EQ(f.net_error, -105);
  EXPECT_EQ(f.response_code, 404);
  EXPECT_EQ(f.display(), GetParam().display);
  EXPECT_TRUE(s.ws.is_finished());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebSocketFailureCode,
    ::testing::Values(
        FailureCode{0, Error::native(0), "native error 0 (Chromium net error -105, response 404)"},
        FailureCode{16, Error::native(16),
                    "native error 16 (Chromium net error -105, response 404)"},
        FailureCode{-3, Error::native(-3),
                    "native error -3 (Chromium net error -105, response 404)"},
        FailureCode{1, Error::Kind::InvalidArgument,
                    "InvalidArgument (Chromium net error -105, response 404)"},
        FailureCode{8, Error::Kind::Network, "Network (Chromium net error -105, response 404)"},
        FailureCode{15, Error::Kind::ProfileUnsupported,
                    "ProfileUnsupported (Chromium net error -105, response 404)"}));

TEST_F(WebSocketQueue, EventCountLimitEdge) {
  auto s = started();
  CallbackProbe probe;
  s.ws.set_event_callback(probe.callback());
  for (uint32_t i = 0; i < MAX_QUEUED_EVENTS; ++i) s.core.message("");
  EXPECT_FALSE(s.ws.is_finished());
  EXPECT_EQ(probe.runs->load(), 1024);
  s.core.message("");
  EXPECT_TRUE(s.ws.is_finished());
  EXPECT_EQ(probe.runs->load(), 1025);  // once for the overflow
  expect_buffer_limit(s.events.try_next());
  EXPECT_FALSE(s.events.try_next());
  EXPECT_FALSE(s.events.blocking_next());
}

struct ByteCase {
  std::vector<uint32_t> sizes;
  bool overflows;
};

class WebSocketByteLimit : public WebSocketTest, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(WebSocketByteLimit, Edge) {
  auto s = started();
  for (uint32_t size : GetParam().sizes) s.core.message(std::string(size, 'a'));
  EXPECT_EQ(s.ws.is_finished(), GetParam().overflows);
  if (GetParam().overflows) {
    expect_buffer_limit(s.events.try_next());
    EXPECT_FALSE(s.events.try_next());
  } else {
    for (size_t i = 0; i < GetParam().sizes.size(); ++i)
      EXPECT_TRUE(s.events.try_next()->get_if<WebSocketEvent::Message>());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSocketByteLimit,
                         ::testing::Values(ByteCase{{MAX_BUFFERED_BYTES}, false},
                                           ByteCase{{MAX_BUFFERED_BYTES + 1}, true},
                                           ByteCase{{MAX_BUFFERED_BYTES - 1, 1}, false},
                                           ByteCase{{MAX_BUFFERED_BYTES - 1, 2}, true},
                                           ByteCase{{MAX_BUFFERED_BYTES, 0, 0}, false},
                                           ByteCase{{MAX_BUFFERED_BYTES, 0, 1}, true}));

// Every kind of event counts its texts: protocol plus extensions, reason,
// failure message.
TEST_F(WebSocketQueue, TextsCountAgainstTheBudget) {
  for (int variant = 0; variant < 3; ++variant) {
    auto s = started();
    s.core.message(std::string(MAX_BUFFERED_BYTES - 2, 'a'));
    if (variant == 0) s.core.open("a", "bc");
    if (variant == 1) s.core.closed(1000, "abc");
    if (variant == 2) s.core.failure(8, 0, 0, "abc");
    expect_buffer_limit(s.events.try_next());
    EXPECT_FALSE(s.events.try_next());
  }
}

TEST_F(WebSocketQueue, TakingEventsOutRestoresTheBudget) {
  auto s = started();
  for (uint32_t i = 0; i < MAX_QUEUED_EVENTS; ++i) s.core.message("");
  ASSERT_TRUE(s.events.try_next());
  s.core.message("");
  EXPECT_FALSE(s.ws.is_finished());

  auto t = started();
  for (int round = 0; round < 3; ++round) {
    t.core.message(std::string(MAX_BUFFERED_BYTES, 'b'));
    EXPECT_FALSE(t.ws.is_finished());
    auto event = t.events.try_next();
    ASSERT_TRUE(event && event->get_if<WebSocketEvent::Message>());
  }
  t.core.open(std::string(MAX_BUFFERED_BYTES / 2, 'p'), std::string(MAX_BUFFERED_BYTES / 2, 'e'));
  EXPECT_FALSE(t.ws.is_finished());
  ASSERT_TRUE(t.events.try_next());
  t.core.closed(1000, std::string(MAX_BUFFERED_BYTES, 'r'));
  auto closed = t.events.try_next();
  ASSERT_TRUE(closed && closed->get_if<WebSocketEvent::Closed>());
}

TEST_F(WebSocketQueue, NothingAdmittedAfterTerminalEvent) {
  for (int terminal = 0; terminal < 2; ++terminal) {
    auto s = started();
    CallbackProbe probe;
    s.ws.set_event_callback(probe.callback());
    s.core.message("before");
    if (terminal == 0) s.core.closed(1000, "");
    if (terminal == 1) s.core.failure(8, -2, 0, "");
    EXPECT_TRUE(s.ws.is_finished());  // before the terminal event is taken
    s.core.message("after");
    s.core.open("", "");
    s.core.closing();
    s.core.closed(1001, "again");
    s.core.failure(9, -3, 0, "again");
    EXPECT_EQ(probe.runs->load(), 2);
    EXPECT_TRUE(s.events.try_next()->get_if<WebSocketEvent::Message>());
    EXPECT_TRUE(s.events.try_next()->is_terminal());
    EXPECT_FALSE(s.events.try_next());
    EXPECT_FALSE(s.events.blocking_next());
    EXPECT_FALSE(s.events.blocking_next());
  }
}

TEST_F(WebSocketQueue, OverflowDropsQueuedEventsAndLaterCoreEvents) {
  auto s = started();
  CallbackProbe probe;
  s.ws.set_event_callback(probe.callback());
  s.core.message(std::string(MAX_BUFFERED_BYTES, 'a'));
  s.core.message("b");
  s.core.closed(1000, "");
  EXPECT_EQ(probe.runs->load(), 2);
  expect_buffer_limit(s.events.try_next());
  EXPECT_FALSE(s.events.try_next());
}

// An event callback that throws ends the stream with CallbackPanic (response
// -1) and is run once more; neither failure reaches the Core.
TEST_F(WebSocketQueue, ThrowingEventCallbackEndsStream) {
  auto s = started();
  auto runs = std::make_shared<std::atomic<int>>(0);
  s.ws.set_event_callback(std::make_shared<const halvane::EventCallback>([runs] {
    runs->fetch_add(1);
    throw std::runtime_error("boom");
  }));
  s.core.message("m");
  EXPECT_EQ(runs->load(), 2);
  EXPECT_TRUE(s.ws.is_finished());
  s.core.message("n");
  s.core.closed(1000, "");
  EXPECT_EQ(runs->load(), 2);
  EXPECT_TRUE(s.events.try_next()->get_if<WebSocketEvent::Message>());
  const auto event = s.events.try_next();
  const WebSocketFailure &f = failure_of(event);
  EXPECT_EQ(f.error, Error::Kind::CallbackPanic);
  EXPECT_EQ(f.net_error, 0);
  EXPECT_EQ(f.response_code, -1);
  EXPECT_EQ(f.display(), "CallbackPanic (Chromium net error 0, response -1)");
  EXPECT_FALSE(s.events.try_next());
}

// A failing callback after the terminal event changes nothing.
TEST_F(WebSocketQueue, ThrowingCallbackOnTerminalEventKeepsIt) {
  auto s = started();
  s.ws.set_event_callback(
      std::make_shared<const halvane::EventCallback>([] { throw std::runtime_error("boom"); }));
  s.core.closed(1000, "ok");
  EXPECT_TRUE(s.events.try_next()->get_if<WebSocketEvent::Closed>());
  EXPECT_FALSE(s.events.try_next());
}

// The callback runs with no layer lock held, so it may use the WebSocket,
// including replacing itself.
TEST_F(WebSocketQueue, EventCallbackMayUseTheWebSocket) {
  auto s = started();
  int runs = 0;
  bool finished_seen = false;
  s.ws.set_event_callback(std::make_shared<const halvane::EventCallback>([&] {
    ++runs;
    finished_seen = s.ws.is_finished();
    EXPECT_TRUE(s.events.try_next());
    s.ws.clear_event_callback();
  }));
  s.core.message("a");
  s.core.closed(1000, "");
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(finished_seen);
  EXPECT_TRUE(s.events.try_next()->get_if<WebSocketEvent::Closed>());
}

TEST_F(WebSocketQueue, SetReplacesAndReleasesWithoutRunning) {
  auto s = started();
  CallbackProbe first, second;
  s.ws.set_event_callback(first.callback());
  s.ws.set_event_callback(second.callback());
  EXPECT_EQ(first.frees->load(), 1);
  EXPECT_EQ(first.runs->load(), 0);
  EXPECT_EQ(second.runs->load(), 0);
  s.core.closing();
  EXPECT_EQ(second.runs->load(), 1);
  s.ws.clear_event_callback();
  EXPECT_EQ(second.frees->load(), 1);
  s.core.closed(1000, "");
  EXPECT_EQ(second.runs->load(), 1);
}

}  // namespace
}  // namespace websocket_test
