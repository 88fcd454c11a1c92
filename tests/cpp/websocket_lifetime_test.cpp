// Who frees the shared state, and consumers on several threads.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "websocket_test_support.h"

namespace websocket_test {
namespace {

class WebSocketLifetime : public WebSocketTest {};

// The event callback lives in the shared state, so its destruction shows when
// that state is freed; a second free would be caught by the sanitizers.
TEST_F(WebSocketLifetime, UnstartedReleaseFreesAtOnce) {
  CallbackProbe probe;
  {
    auto [ws, core] = create();
    ws.set_event_callback(probe.callback());
  }
  EXPECT_EQ(probe.frees->load(), 1);
  EXPECT_EQ(fake_call_count("hv_websocket_release"), 1u);
}

TEST_F(WebSocketLifetime, RefusedStartReleaseFreesAtOnce) {
  CallbackProbe probe;
  {
    auto [ws, core] = create();
    ws.set_event_callback(probe.callback());
    fake_push_result("hv_websocket_start", 4);
    ASSERT_FALSE(ws.start().ok());
  }
  EXPECT_EQ(probe.frees->load(), 1);
  EXPECT_EQ(probe.runs->load(), 0);
}

enum class Terminal { Closed, Failure, OverflowThenClosed, PanicThenFailure };

struct Order {
  Terminal terminal;
  bool release_first;  // handle released before the Core's terminal call
  bool events_last;    // the consumer side outlives the WebSocket
};

class WebSocketFreeOrder : public WebSocketTest, public ::testing::WithParamInterface<Order> {};

TEST_P(WebSocketFreeOrder, FreedOnceByTheLastOwner) {
  const Order order = GetParam();
  CallbackProbe probe;
  auto s = std::make_unique<Started>(started());
  s->ws.set_event_callback(probe.callback(order.terminal == Terminal::PanicThenFailure));
  const Core core = s->core;
  std::optional<WebSocketEvents> events = std::move(s->events);
  std::optional<WebSocket> ws = std::move(s->ws);
  s.reset();

  auto terminal = [&] {
    switch (order.terminal) {
      case Terminal::Closed:
        core.closed(1000, "");
        break;
      case Terminal::Failure:
        core.failure(8, -2, 0, "down");
        break;
      case Terminal::OverflowThenClosed:
        for (uint32_t i = 0; i <= halvane::MAX_QUEUED_EVENTS; ++i) core.message("");
        core.closed(1000, "");
        break;
      case Terminal::PanicThenFailure:
        core.message("m");
        core.failure(8, -2, 0, "");
        break;
    }
  };
  auto release_owners = [&] {
    if (order.events_last) {
      ws.reset();
      EXPECT_EQ(fake_call_count("hv_websocket_release"), 1u);
      EXPECT_EQ(probe.frees->load(), 0);
      events.reset();
    } else {
      events.reset();
      EXPECT_EQ(probe.frees->load(), 0);
      ws.reset();
    }
  };

  if (order.release_first) {
    release_owners();
    EXPECT_EQ(probe.frees->load(), 0);  // the Core still owns it
    terminal();
  } else {
    terminal();
    EXPECT_EQ(probe.frees->load(), 0);
    release_owners();
  }
  EXPECT_EQ(probe.frees->load(), 1);
  EXPECT_EQ(fake_call_count("hv_websocket_release"), 1u);
  EXPECT_EQ(fake_misuse_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, WebSocketFreeOrder,
    ::testing::Values(Order{Terminal::Closed, false, false}, Order{Terminal::Closed, false, true},
                      Order{Terminal::Closed, true, false}, Order{Terminal::Closed, true, true},
                      Order{Terminal::Failure, false, false}, Order{Terminal::Failure, true, true},
                      Order{Terminal::OverflowThenClosed, false, false},
                      Order{Terminal::OverflowThenClosed, true, true},
                      Order{Terminal::PanicThenFailure, false, true},
                      Order{Terminal::PanicThenFailure, true, false}));

// The Core's terminal call on its own thread races the owners letting go.
TEST_F(WebSocketLifetime, ReleaseRacingTerminalCallFreesOnce) {
  for (int round = 0; round < 200; ++round) {
    CallbackProbe probe;
    {
      auto s = started();
      s.ws.set_event_callback(probe.callback());
      Core async = s.core;
      async.async = true;
      async.message("x");
      if (round % 2) {
        async.closed(1000, "");
      } else {
        async.failure(8, -2, 0, "");
      }
      std::thread other([ws = std::move(s.ws)]() mutable { WebSocket gone = std::move(ws); });
      other.join();
    }
    fake_wait_idle();
    EXPECT_EQ(probe.frees->load(), 1);
  }
}

TEST_F(WebSocketLifetime, BlockedConsumerIsWokenByAnotherThread) {
  auto s = started();
  EXPECT_FALSE(s.events.try_next());
  std::optional<WebSocketEvent> first, second, third;
  std::thread consumer([&] {
    first = s.events.blocking_next();
    second = s.events.blocking_next();
    third = s.events.blocking_next();
  });
  // Give the consumer time to block; the outcome does not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Core async = s.core;
  async.async = true;
  async.message("a");
  async.closed(1000, "");
  consumer.join();
  ASSERT_TRUE(first && first->get_if<WebSocketEvent::Message>());
  ASSERT_TRUE(second && second->get_if<WebSocketEvent::Closed>());
  EXPECT_FALSE(third);
}

// A waiter with nothing to take is still woken by the terminal event.
TEST_F(WebSocketLifetime, AllWaitersEndWhenTheStreamEnds) {
  auto s = started();
  std::atomic<int> ended{0};
  std::atomic<int> terminals{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      while (auto event = s.events.blocking_next())
        if (event->is_terminal()) terminals.fetch_add(1);
      ended.fetch_add(1);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  s.core.failure(6, -7, 0, "timed out");
  for (auto &t : waiters) t.join();
  EXPECT_EQ(ended.load(), 4);
  EXPECT_EQ(terminals.load(), 1);
}

// Blocking and polling consumers on several threads each get every event
// exactly once. 1000 messages stay under the limit however slow they are.
TEST_F(WebSocketLifetime, ConsumersShareEventsExactlyOnce) {
  constexpr int kMessages = 1000;
  auto s = started();
  std::mutex mutex;
  std::multiset<int> seen;
  std::atomic<int> closed{0};
  auto record = [&](const WebSocketEvent &event) {
    if (event.get_if<WebSocketEvent::Closed>()) {
      closed.fetch_add(1);
      return;
    }
    const auto *m = event.get_if<WebSocketEvent::Message>();
    ASSERT_NE(m, nullptr);
    std::lock_guard lock(mutex);
    seen.insert(std::stoi(std::string(m->data.begin(), m->data.end())));
  };
  std::vector<std::thread> consumers;
  for (int i = 0; i < 2; ++i)
    consumers.emplace_back([&, events = s.events]() mutable {
      while (auto event = events.blocking_next()) record(*event);
    });
  for (int i = 0; i < 2; ++i)
    consumers.emplace_back([&, events = s.events]() mutable {
      for (;;) {
        // Finished before an empty take means drained: nothing more can come.
        const bool finished = s.ws.is_finished();
        if (auto event = events.try_next())
          record(*event);
        else if (finished)
          break;
        else
          std::this_thread::yield();
      }
    });
  Core async = s.core;
  async.async = true;
  for (int i = 0; i < kMessages; ++i) async.message(std::to_string(i));
  async.closed(1000, "");
  for (auto &t : consumers) t.join();
  EXPECT_EQ(closed.load(), 1);
  ASSERT_EQ(seen.size(), size_t{kMessages});
  int expected = 0;
  for (int value : seen) EXPECT_EQ(value, expected++);
}

}  // namespace
}  // namespace websocket_test
