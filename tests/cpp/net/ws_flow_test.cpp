// Back-pressure on WebSocket senders: held beyond 4 MiB unsent from the
// start, also before the WebSocket thread has looked at the WebSocket;
// let go by a cancel, a release, a close or the end; never held on the
// Core's own thread. A WebSocket whose open callback waits on a gate holds
// the engine's WebSocket thread, so that nothing drains meanwhile.
#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "ws_harness.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

const std::string kMiB(1 << 20, 'm');
// 4 MiB may be unsent; the fifth 1 MiB message goes over.
constexpr size_t kTakenWithoutWaiting = 4;

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, open = false;

  void pass() {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
  }
  bool wait_entered() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 20s, [&] { return entered; });
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

int32_t send_mib(hv_handle ws) {
  return hv_websocket_send(ws, HV_MESSAGE_BINARY, reinterpret_cast<const uint8_t *>(kMiB.data()),
                           static_cast<uint32_t>(kMiB.size()));
}

// Sends 1 MiB binary messages from a thread of its own until one is not
// taken or `count` were.
class Sender {
 public:
  Sender(hv_handle ws, size_t count)
      : thread_([this, ws, count] {
          for (size_t i = 0; i < count; ++i) {
            const int32_t code = send_mib(ws);
            std::lock_guard lock(mutex_);
            results_.push_back(code);
            if (code != HV_OK) break;
          }
          std::lock_guard lock(mutex_);
          done_ = true;
          changed_.notify_all();
        }) {}
  ~Sender() { thread_.join(); }

  bool wait_done(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done_; });
  }
  std::vector<int32_t> results() {
    std::lock_guard lock(mutex_);
    return results_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> results_;
  bool done_ = false;
  std::thread thread_;
};

// "/echo" echoes; "/count" counts what arrives in `received`; "/silent"
// reads nothing, and sends a close frame once `peer_close` opens; anything
// else is never upgraded.
LocalServer::Handler flow_handler(std::atomic<int> &received, Gate &peer_close) {
  auto upgrade_echo = websocket_handler(echo);
  auto upgrade_count = websocket_handler([&received](ServerSide &side) {
    std::string message;
    bool text = false;
    while (side.read(message, text)) ++received;
  });
  auto upgrade_only = websocket_handler([](ServerSide &) {});
  return [=, &peer_close](Connection &c, const std::string &head) {
    if (head.rfind("GET /echo ", 0) == 0) return upgrade_echo(c, head);
    if (head.rfind("GET /count ", 0) == 0) return upgrade_count(c, head);
    if (head.rfind("GET /silent ", 0) == 0) {
      upgrade_only(c, head);
      peer_close.pass();
      c.send(std::string("\x88\x02\x03\xe8", 4));  // 1000
      return c.hold();                             // reading nothing
    }
    c.wait_closed();  // never upgraded
  };
}

class WebSocketFlow : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override {
    peer_close_.release();
    hv_engine_release(engine_);
  }

  hv_handle start(const std::string &path, WsRecorder &r, uint64_t timeout_ms = 0) {
    hv_handle ws = 0;
    EXPECT_EQ(create_websocket(engine_, ws_url(server_, path), ws_options("", {}, {}, timeout_ms),
                               &r, &ws),
              HV_OK);
    EXPECT_EQ(hv_websocket_start(ws), HV_OK);
    return ws;
  }

  std::atomic<int> received_{0};
  Gate peer_close_;
  LocalServer server_{flow_handler(received_, peer_close_)};
  hv_handle engine_ = 0;
};

enum class End { Cancel, Release, Close, Failure };

struct HeldCase {
  const char *name;
  End end;
  int32_t held_result;  // what the held send returns
  const char *terminal;
  int32_t terminal_code;
};

class HeldSender : public WebSocketFlow, public testing::WithParamInterface<HeldCase> {};

TEST_P(HeldSender, StopsAtTheBoundUntilLetGo) {
  const HeldCase &c = GetParam();
  Gate gate;
  WsRecorder holder;
  holder.hook = [&](hv_handle, const std::string &kind) {
    if (kind == "open") gate.pass();
  };
  const hv_handle blocker = start("/echo", holder);
  ASSERT_TRUE(gate.wait_entered());

  // Nothing of this WebSocket runs while the thread is held.
  WsRecorder r;
  const hv_handle ws = c.end == End::Failure ? start("/stall", r, 1) : start("/count", r);
  {
    Sender sender(ws, 16);
    EXPECT_FALSE(sender.wait_done(300ms));  // held: cannot finish while nothing drains
    switch (c.end) {
      case End::Cancel:
        EXPECT_EQ(hv_websocket_cancel(ws), HV_OK);
        break;
      case End::Release:
        hv_websocket_release(ws);
        break;
      case End::Close:
        EXPECT_EQ(close_websocket(ws, 1000, ""), HV_OK);
        break;
      case End::Failure:
        gate.release();
        break;  // the opening handshake times out
    }
    const bool done = sender.wait_done(20s);
    gate.release();
    ASSERT_TRUE(done);
    const auto results = sender.results();
    ASSERT_GT(results.size(), kTakenWithoutWaiting);
    for (size_t i = 0; i < kTakenWithoutWaiting; ++i) EXPECT_EQ(results[i], HV_OK);
    EXPECT_EQ(results[kTakenWithoutWaiting], c.held_result);
    EXPECT_NE(results.back(), HV_OK);  // after a close, nothing more is taken
  }
  ASSERT_TRUE(r.wait_terminal());
  const auto events = r.snapshot();
  EXPECT_EQ(events.back().kind, c.terminal);
  EXPECT_EQ(events.back().code, c.terminal_code);
  // What was held went out before the close frame; nothing went out otherwise.
  EXPECT_EQ(received_, c.end == End::Close ? static_cast<int>(kTakenWithoutWaiting) + 1 : 0);
  if (c.end != End::Release) hv_websocket_release(ws);
  hv_websocket_release(blocker);
  ASSERT_TRUE(holder.wait_terminal());
}

INSTANTIATE_TEST_SUITE_P(
    Ends, HeldSender,
    testing::Values(HeldCase{"Cancel", End::Cancel, HV_ERR_CANCELED, "failure", HV_ERR_CANCELED},
                    HeldCase{"Release", End::Release, HV_ERR_CANCELED, "failure", HV_ERR_CANCELED},
                    HeldCase{"Close", End::Close, HV_OK, "closed", 1000},
                    HeldCase{"Failure", End::Failure, HV_ERR_TIMEOUT, "failure", HV_ERR_TIMEOUT}),
    [](const auto &info) { return std::string(info.param.name); });

class SilentPeer : public WebSocketFlow, public testing::WithParamInterface<bool> {};

// The peer reads nothing; the sender is let go by a cancel, or by the peer's
// close frame (what is queued then never goes out).
TEST_P(SilentPeer, HoldsTheSender) {
  const bool peer_closes = GetParam();
  WsRecorder r;
  const hv_handle ws = start("/silent", r);
  ASSERT_TRUE(r.wait_for(1));
  {
    Sender sender(ws, 64);
    // 64 MiB fit neither the bound nor the socket buffers.
    EXPECT_FALSE(sender.wait_done(300ms));
    if (peer_closes)
      peer_close_.release();
    else
      EXPECT_EQ(hv_websocket_cancel(ws), HV_OK);
    ASSERT_TRUE(sender.wait_done(20s));
    const auto results = sender.results();
    EXPECT_LT(results.size(), 64u);
    // A send held at the cancel reports it; one the sender only began once the
    // cancelled session had ended is late, like any send after the end.
    if (peer_closes)
      EXPECT_EQ(results.back(), HV_ERR_INVALID_STATE);
    else
      EXPECT_TRUE(results.back() == HV_ERR_CANCELED || results.back() == HV_ERR_INVALID_STATE)
          << results.back();
  }
  // Beast's answer to the close mostly waits behind a write the peer never
  // reads, and then only a cancel ends the WebSocket.
  if (peer_closes) {
    EXPECT_EQ(hv_websocket_cancel(ws), HV_OK);
  }
  ASSERT_TRUE(r.wait_terminal());
  const WsEvent end = r.snapshot().back();
  EXPECT_TRUE(end.code == HV_ERR_CANCELED ||
              (peer_closes && end.kind == "closed" && end.code == 1000));
  EXPECT_EQ(send_text(ws, "late"), HV_ERR_INVALID_STATE);
  hv_websocket_release(ws);
}

INSTANTIATE_TEST_SUITE_P(LetGoBy, SilentPeer, testing::Values(false, true),
                         [](const auto &info) { return info.param ? "PeerClose" : "Cancel"; });

TEST_F(WebSocketFlow, SendsFromACallbackAreNeverHeld) {
  WsRecorder r;
  std::vector<int32_t> results;
  r.hook = [&](hv_handle ws, const std::string &kind) {
    if (kind != "open") return;
    // On the WebSocket thread: waiting here would wait for itself.
    for (size_t i = 0; i < 2 * kTakenWithoutWaiting; ++i) results.push_back(send_mib(ws));
  };
  const hv_handle ws = start("/echo", r);
  ASSERT_TRUE(r.wait_for(1 + 2 * kTakenWithoutWaiting));
  EXPECT_EQ(results, std::vector<int32_t>(2 * kTakenWithoutWaiting, HV_OK));
  EXPECT_EQ(close_websocket(ws, 1000, ""), HV_OK);
  ASSERT_TRUE(r.wait_terminal());
  EXPECT_EQ(r.snapshot().back().kind, "closed");
  hv_websocket_release(ws);
}

}  // namespace
