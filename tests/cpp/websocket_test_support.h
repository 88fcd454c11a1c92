// Shared fixture of the WebSocket suites: a fresh stand-in Core, an engine,
// and short ways to make the Core call back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "client/engine.h"
#include "client/websocket.h"
#include "fake_core.h"
#include "fake_websocket.h"
#include "fake_worker.h"

namespace websocket_test {

using halvane::Engine;
using halvane::Error;
using halvane::EventCallbackPtr;
using halvane::WebSocket;
using halvane::WebSocketConfig;
using halvane::WebSocketEvent;
using halvane::WebSocketEvents;
using halvane::WebSocketFailure;

inline const uint8_t *bytes(std::string_view s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

// The Core's side of one WebSocket, by handle. Remembers whether the Core
// has made its terminal call, which it owes every started WebSocket.
struct Core {
  uint64_t ws;
  bool async = false;
  std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);

  void mark_ended() const { ended->store(true); }

  void open(std::string_view protocol, std::string_view extensions) const {
    ASSERT_EQ(fake_websocket_open(ws, bytes(protocol), uint32_t(protocol.size()), bytes(extensions),
                                  uint32_t(extensions.size()), async),
              1);
  }
  void message(std::string_view data, int32_t type = 2, int32_t fin = 1) const {
    ASSERT_EQ(fake_websocket_message(ws, type, fin, bytes(data), uint32_t(data.size()), async), 1);
  }
  void closing() const { ASSERT_EQ(fake_websocket_closing(ws, async), 1); }
  void closed(uint32_t code, std::string_view reason, int32_t clean = 1) const {
    mark_ended();
    ASSERT_EQ(fake_websocket_closed(ws, clean, code, bytes(reason), uint32_t(reason.size()), async),
              1);
  }
  void failure(int32_t code, int32_t net_error, int32_t response_code,
               std::string_view message) const {
    mark_ended();
    ASSERT_EQ(fake_websocket_failure(ws, code, net_error, response_code, bytes(message),
                                     uint32_t(message.size()), async),
              1);
  }
};

// Counts runs of an event callback and, separately, its destruction, which
// happens when the shared state that holds it is freed.
struct CallbackProbe {
  std::shared_ptr<std::atomic<int>> runs = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::atomic<int>> frees = std::make_shared<std::atomic<int>>(0);

  // A callback that counts its runs, and throws after counting if `throws`.
  EventCallbackPtr callback(bool throws = false) const {
    struct OnFree {
      explicit OnFree(std::shared_ptr<std::atomic<int>> n) : n(std::move(n)) {}
      ~OnFree() { n->fetch_add(1); }
      std::shared_ptr<std::atomic<int>> n;
    };
    auto on_free = std::make_shared<OnFree>(frees);
    return std::make_shared<const halvane::EventCallback>([runs = runs, on_free, throws] {
      runs->fetch_add(1);
      if (throws) throw std::runtime_error("event callback failed");
    });
  }
};

class WebSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_reset();
    fake_websocket_reset();
    auto engine = Engine::create({});
    ASSERT_TRUE(engine.ok());
    engine_.emplace(std::move(engine).value());
  }
  // Ends every started WebSocket the test left open, so that the Core's
  // ownership of its shared state is released as a real Core would.
  void TearDown() override {
    fake_wait_idle();
    for (const Core &core : started_)
      if (!core.ended->load()) fake_websocket_closed(core.ws, 0, 1006, nullptr, 0, 0);
  }

  static WebSocketConfig config() { return WebSocketConfig::create("ws://127.0.0.1:9/chat", ""); }

  // A created WebSocket and the handle the Core gave it.
  std::pair<WebSocket, Core> create(WebSocketConfig cfg = config()) {
    auto ws = engine_->websocket(std::move(cfg));
    EXPECT_TRUE(ws.ok());
    return {std::move(ws).value(), Core{fake_last_handle("websocket")}};
  }

  // A started WebSocket with its consumer side.
  struct Started {
    WebSocket ws;
    WebSocketEvents events;
    Core core;
  };
  Started started() {
    auto [ws, core] = create();
    auto events = ws.start();
    EXPECT_TRUE(events.ok());
    started_.push_back(core);
    return {std::move(ws), std::move(events).value(), core};
  }

  std::optional<Engine> engine_;
  std::vector<Core> started_;
};

}  // namespace websocket_test
