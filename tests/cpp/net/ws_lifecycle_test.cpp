// Every started WebSocket ends exactly once, with nothing after its end, on
// the engine's WebSocket thread: closed, failed, cancelled or released, from
// several threads at once.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "harness.h"
#include "ws_harness.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

// "/echo" echoes; "/sized" answers a text "N" with a binary message of N
// bytes; anything else is never upgraded (the head is read and left).
LocalServer::Handler standard_handler() {
  auto upgrade = websocket_handler([](ServerSide &side) {
    if (side.target == "/sized") {
      std::string message;
      bool text = false;
      while (side.read(message, text) && side.write(std::string(std::stoul(message), 'x'), false)) {
      }
      return;
    }
    echo(side);
  });
  return [upgrade](Connection &c, const std::string &head) {
    if (head.rfind("GET /echo ", 0) == 0 || head.rfind("GET /sized ", 0) == 0)
      upgrade(c, head);
    else
      c.wait_closed();
  };
}

class WebSocketLifecycle : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override {
    if (engine_) hv_engine_release(engine_);
  }

  hv_handle started(const std::string &path, WsRecorder &r) {
    hv_handle ws = 0;
    EXPECT_EQ(create_websocket(engine_, ws_url(server_, path), {}, &r, &ws), HV_OK);
    EXPECT_EQ(hv_websocket_start(ws), HV_OK);
    return ws;
  }

  hv_handle opened(const std::string &path, WsRecorder &r) {
    const hv_handle ws = started(path, r);
    EXPECT_TRUE(r.wait_for(1));
    EXPECT_EQ(r.snapshot().at(0).kind, "open");
    return ws;
  }

  LocalServer server_{standard_handler()};
  hv_handle engine_ = 0;
};

TEST_F(WebSocketLifecycle, EchoAndCloseOnTheWebSocketThread) {
  WsRecorder r;
  const hv_handle ws = opened("/echo", r);
  EXPECT_EQ(send_text(ws, "hello"), HV_OK);
  EXPECT_EQ(hv_websocket_send(ws, HV_MESSAGE_BINARY, nullptr, 0), HV_OK);
  ASSERT_TRUE(r.wait_for(3));
  EXPECT_EQ(close_websocket(ws, 1000, "bye"), HV_OK);
  ASSERT_TRUE(r.wait_terminal());
  hv_websocket_release(ws);
  hv_engine_release(engine_);
  engine_ = 0;  // waits for the engine's threads: nothing can follow

  const auto events = r.snapshot();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].kind, "open");
  EXPECT_EQ(events[1].kind, "text");
  EXPECT_EQ(events[1].data, "hello");
  EXPECT_EQ(events[1].code, 1);  // fin
  EXPECT_EQ(events[2].kind, "binary");
  EXPECT_EQ(events[2].data, "");
  EXPECT_EQ(events[3].kind, "closing");
  EXPECT_EQ(events[4].kind, "closed");
  // The server's close frame is reported: Beast answers with the code alone.
  EXPECT_EQ(events[4].code, 1000);
  EXPECT_EQ(events[4].data, "");
  EXPECT_TRUE(events[4].clean);
  ASSERT_EQ(r.threads.size(), 1u);
  EXPECT_NE(r.threads[0], std::this_thread::get_id());
}

TEST_F(WebSocketLifecycle, MessagesUpTo64MiBArriveAndLargerOnesFail) {
  WsRecorder r;
  const hv_handle ws = opened("/sized", r);
  EXPECT_EQ(send_text(ws, std::to_string(64u << 20)), HV_OK);
  ASSERT_TRUE(r.wait_for(2));
  {
    const auto events = r.snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, "binary");
    EXPECT_EQ(events[1].data.size(), 64u << 20);
  }
  EXPECT_EQ(send_text(ws, std::to_string((64u << 20) + 1)), HV_OK);
  ASSERT_TRUE(r.wait_terminal());
  const auto events = r.snapshot();
  EXPECT_EQ(events.back().kind, "failure");
  EXPECT_EQ(events.back().code, HV_ERR_PROTOCOL);
  EXPECT_EQ(events.back().net_error, -142);
  hv_websocket_release(ws);
}

TEST_F(WebSocketLifecycle, ReleaseBeforeTheHandshakeStillEndsOnce) {
  WsRecorder r;
  const hv_handle ws = started("/stall", r);
  hv_websocket_release(ws);
  ASSERT_TRUE(r.wait_terminal());
  hv_engine_release(engine_);
  engine_ = 0;
  const auto events = r.snapshot();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, "failure");
  EXPECT_EQ(events[0].code, HV_ERR_CANCELED);
  EXPECT_EQ(events[0].net_error, -3);
  EXPECT_FALSE(r.after_terminal);
}

TEST_F(WebSocketLifecycle, ReleasingTheEngineFirstKeepsWebSocketsWorking) {
  WsRecorder r;
  hv_handle ws = 0;
  ASSERT_EQ(create_websocket(engine_, ws_url(server_, "/echo"), {}, &r, &ws), HV_OK);
  hv_engine_release(engine_);
  engine_ = 0;
  ASSERT_EQ(hv_websocket_start(ws), HV_OK);
  ASSERT_TRUE(r.wait_for(1));
  EXPECT_EQ(send_text(ws, "orphan"), HV_OK);
  ASSERT_TRUE(r.wait_for(2));
  EXPECT_EQ(close_websocket(ws, 1000, ""), HV_OK);
  ASSERT_TRUE(r.wait_terminal());
  hv_websocket_release(ws);  // the last use: the engine's threads end here
  const auto events = r.snapshot();
  EXPECT_EQ(events[1].data, "orphan");
  EXPECT_EQ(events.back().kind, "closed");
}

TEST_F(WebSocketLifecycle, StateRules) {
  WsRecorder r;
  hv_handle ws = 0;
  ASSERT_EQ(create_websocket(engine_, ws_url(server_, "/echo"), {}, &r, &ws), HV_OK);
  EXPECT_EQ(send_text(ws, "early"), HV_ERR_INVALID_STATE);
  EXPECT_EQ(close_websocket(ws, 1000, ""), HV_ERR_INVALID_STATE);
  ASSERT_EQ(hv_websocket_start(ws), HV_OK);
  EXPECT_EQ(hv_websocket_start(ws), HV_ERR_INVALID_STATE);
  EXPECT_EQ(hv_websocket_send(ws, HV_MESSAGE_TYPE_MAX + 1, nullptr, 0), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_websocket_send(ws, HV_MESSAGE_BINARY, nullptr, 5), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(send_text(ws, "\xC3\x28"), HV_ERR_INVALID_ARGUMENT);      // broken UTF-8
  EXPECT_EQ(send_text(ws, "\xED\xA0\x80"), HV_ERR_INVALID_ARGUMENT);  // a surrogate
  EXPECT_EQ(close_websocket(ws, 1000, "\xFF"), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(close_websocket(ws, 1005, ""), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(close_websocket(ws, 1000, std::string(124, 'r')), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(close_websocket(ws, 4000, std::string(123, 'r')), HV_OK);
  EXPECT_EQ(send_text(ws, "late"), HV_ERR_INVALID_STATE);
  EXPECT_EQ(close_websocket(ws, 1000, ""), HV_OK);  // already closing
  ASSERT_TRUE(r.wait_terminal());
  EXPECT_EQ(r.snapshot().back().code, 4000);
  EXPECT_EQ(hv_websocket_cancel(ws), HV_OK);
  hv_websocket_release(ws);
  EXPECT_EQ(hv_websocket_start(ws), HV_ERR_INVALID_ARGUMENT);  // a released handle
  EXPECT_EQ(send_text(ws, "x"), HV_ERR_INVALID_ARGUMENT);
}

TEST_F(WebSocketLifecycle, CancelBeforeStartEndsTheStartAtOnce) {
  WsRecorder r;
  hv_handle ws = 0;
  ASSERT_EQ(create_websocket(engine_, ws_url(server_, "/echo"), {}, &r, &ws), HV_OK);
  EXPECT_EQ(hv_websocket_cancel(ws), HV_OK);
  ASSERT_EQ(hv_websocket_start(ws), HV_OK);
  ASSERT_TRUE(r.wait_terminal());
  const auto events = r.snapshot();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].code, HV_ERR_CANCELED);
  hv_websocket_release(ws);
}

TEST_F(WebSocketLifecycle, UnstartedWebSocketsNeverCallBack) {
  WsRecorder r;
  for (int i = 0; i < 20; ++i) {
    hv_handle ws = 0;
    ASSERT_EQ(create_websocket(engine_, ws_url(server_, "/echo"), {}, &r, &ws), HV_OK);
    hv_websocket_release(ws);
  }
  hv_engine_release(engine_);
  engine_ = 0;
  EXPECT_TRUE(r.snapshot().empty());
}

TEST_F(WebSocketLifecycle, SendsFromManyThreadsKeepEachThreadsOrder) {
  WsRecorder r;
  const hv_handle ws = opened("/echo", r);
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([ws, t] {
      for (int i = 0; i < kEach; ++i) send_text(ws, std::to_string(t) + ":" + std::to_string(i));
    });
  for (auto &s : senders) s.join();
  ASSERT_TRUE(r.wait_for(1 + kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const WsEvent &e : r.snapshot()) {
    if (e.kind != "text") continue;
    const int t = std::stoi(e.data.substr(0, e.data.find(':')));
    EXPECT_EQ(std::stoi(e.data.substr(e.data.find(':') + 1)), next[t]++);
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
  hv_websocket_release(ws);
  ASSERT_TRUE(r.wait_terminal());
}

// Closing, cancelling, sending and releasing race from several threads,
// at every stage of a connection; exactly one end comes, and nothing after.
TEST_F(WebSocketLifecycle, RacingEndsGiveExactlyOneTerminal) {
  std::mt19937 random(12345);
  constexpr int kRounds = 40;
  std::vector<std::unique_ptr<WsRecorder>> recorders;
  for (int round = 0; round < kRounds; ++round) {
    auto r = std::make_unique<WsRecorder>();
    hv_handle ws = 0;
    ASSERT_EQ(create_websocket(engine_, ws_url(server_, "/echo"), {}, r.get(), &ws), HV_OK);
    ASSERT_EQ(hv_websocket_start(ws), HV_OK);
    if (round % 2 == 0) r->wait_for(1);
    const int delay = static_cast<int>(random() % 200);
    std::vector<std::thread> racers;
    racers.emplace_back([ws, delay] {
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      close_websocket(ws, 1000, "race");
    });
    racers.emplace_back([ws] { hv_websocket_cancel(ws); });
    racers.emplace_back([ws] {
      for (int i = 0; i < 20; ++i) send_text(ws, "spam");
    });
    racers.emplace_back([ws, delay] {
      std::this_thread::sleep_for(std::chrono::microseconds(200 - delay));
      hv_websocket_release(ws);
    });
    for (auto &t : racers) t.join();
    recorders.push_back(std::move(r));
  }
  for (auto &r : recorders) ASSERT_TRUE(r->wait_terminal());
  hv_engine_release(engine_);
  engine_ = 0;  // every thread of the engine is gone: nothing more can come
  for (auto &r : recorders) {
    EXPECT_EQ(r->terminals, 1);
    EXPECT_FALSE(r->after_terminal);
  }
}

}  // namespace
