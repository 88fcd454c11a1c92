// Shared helpers for the request-layer suites: an engine on the stand-in
// Core, scripted callback delivery and a destruction tracker.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "client/engine.h"
#include "client/request.h"
#include "client/request_shared.h"
#include "fake_core.h"
#include "fake_worker.h"

namespace request_test {

inline const uint8_t *bytes(std::string_view text) {
  return reinterpret_cast<const uint8_t *>(text.data());
}
inline uint32_t len(std::string_view text) { return static_cast<uint32_t>(text.size()); }

// Delivery of the Core's callbacks to `handle`; `when` as in fake_core.h.
inline int respond(uint64_t handle, int32_t status, std::string_view headers,
                   const char *when = nullptr) {
  return fake_request_response(handle, when, status, bytes(headers), len(headers));
}
inline int body(uint64_t handle, std::string_view data, const char *when = nullptr) {
  return fake_request_body(handle, when, bytes(data), len(data));
}
inline int redirect(uint64_t handle, int32_t status, std::string_view headers,
                    std::string_view first, std::string_view second, const char *when = nullptr) {
  return fake_request_redirect(handle, when, status, bytes(headers), len(headers), bytes(first),
                               len(first), bytes(second), len(second));
}
inline int complete(uint64_t handle, int32_t code, int32_t net_error = 0,
                    const char *when = nullptr) {
  return fake_request_complete(handle, when, code, net_error);
}
// The on_body return value of the newest delivery.
inline int last_body_result(uint64_t handle) {
  const uint64_t n = fake_request_body_result_count(handle);
  return n == 0 ? -1 : fake_request_body_result(handle, n - 1);
}

inline uint64_t calls(const char *fn) { return fake_call_count(fn); }

// Counts calls and destructions of an event callback. The callback lives as
// long as the request's shared state (unless replaced), so its destruction
// shows when that state went. The counters outlive the tracker, so a late
// delivery is harmless.
struct Tracker {
  struct Counters {
    std::atomic<int> calls{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> throwing{0};  // how many calls, from the first, throw
  };
  std::shared_ptr<Counters> counters = std::make_shared<Counters>();
  std::atomic<int> &calls = counters->calls;
  std::atomic<int> &destroyed = counters->destroyed;
  std::atomic<int> &throwing = counters->throwing;

  halvane::EventCallbackPtr callback() const {
    struct Probe {
      explicit Probe(std::shared_ptr<Counters> counters) : counters(std::move(counters)) {}
      ~Probe() { counters->destroyed.fetch_add(1); }
      std::shared_ptr<Counters> counters;
    };
    auto probe = std::make_shared<Probe>(counters);
    return std::make_shared<const halvane::EventCallback>([probe] {
      Counters &c = *probe->counters;
      if (c.calls.fetch_add(1) < c.throwing.load())
        throw std::runtime_error("event callback failed");
    });
  }
};

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_reset();
    auto engine = halvane::Engine::create({});
    ASSERT_TRUE(engine.ok());
    engine_ = std::make_unique<halvane::Engine>(std::move(engine).value());
  }
  void TearDown() override {
    // Started requests always get their final callback, as from a real Core.
    fake_wait_idle();
    fake_request_complete_started(7, -3);
    EXPECT_EQ(fake_misuse_count(), 0u);
  }

  halvane::Request make(halvane::RequestConfig config = halvane::RequestConfig::get("http://a/")) {
    auto request = engine_->request(std::move(config));
    EXPECT_TRUE(request.ok());
    return std::move(request).value();
  }
  // A started request, its future and its Core handle.
  struct Started {
    halvane::Request request;
    halvane::ResponseFuture future;
    uint64_t handle;
  };
  Started start(halvane::RequestConfig config = halvane::RequestConfig::get("http://a/")) {
    halvane::Request request = make(std::move(config));
    const uint64_t handle = fake_last_handle("request");
    auto future = request.start();
    EXPECT_TRUE(future.ok());
    return {request, std::move(future).value(), handle};
  }

  std::unique_ptr<halvane::Engine> engine_;
};

}  // namespace request_test
