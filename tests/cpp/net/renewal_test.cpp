// A stale response that stale-while-revalidate lets the cache use is
// delivered at once, and one request of the engine's own renews it while the
// origin takes its time; an engine released meanwhile ends that request.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "harness.h"
#include "local_server.h"

using namespace nettest;

namespace {

// Holds the origin's answers to revalidations until the test opens it.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int arrived = 0;
  bool open = false;

  void wait_open() {
    std::unique_lock lock(mutex);
    ++arrived;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
  }
  bool wait_arrived(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return arrived >= n; });
  }
  void let_through() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

class Renewal : public testing::Test {
 protected:
  void TearDown() override {
    gate_.let_through();  // before the server joins its handlers
    if (engine_ != 0) hv_engine_release(engine_);
  }

  // One GET to its end: the head and body it delivered.
  Recorder &fetch() {
    recorders_.emplace_back(std::make_unique<Recorder>());
    Recorder &r = *recorders_.back();
    hv_handle request = 0;
    EXPECT_EQ(create_request(engine_, server_.url("/swr"), {}, &r, &request), HV_OK);
    EXPECT_EQ(hv_request_start(request), HV_OK);
    EXPECT_TRUE(r.wait_complete());
    hv_request_release(request);
    return r;
  }

  Gate gate_;
  // Stale at once, usable while renewed; the renewal says it is fresh now.
  LocalServer server_{[this](Connection &c, const std::string &head) {
    if (head.find("If-None-Match: \"r1\"") == std::string::npos) {
      c.send(
          "HTTP/1.1 200 OK\r\nConnection: close\r\nETag: \"r1\"\r\n"
          "Cache-Control: max-age=0, stale-while-revalidate=3600\r\nContent-Length: 3\r\n\r\nold");
    } else {
      gate_.wait_open();
      c.send(
          "HTTP/1.1 304 Not Modified\r\nConnection: close\r\nETag: \"r1\"\r\n"
          "Cache-Control: max-age=3600\r\nX-Renewed: 1\r\n\r\n");
    }
    c.wait_closed();
  }};
  hv_handle engine_ = make_engine();
  std::vector<std::unique_ptr<Recorder>> recorders_;
};

TEST_F(Renewal, StaleAnswersComeAtOnceWhileOneRenewalWaits) {
  EXPECT_EQ(fetch().body, "old");
  // Each of these completes while the origin holds the renewal.
  for (int i = 0; i < 3; ++i) {
    Recorder &r = fetch();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "old");
    EXPECT_EQ(r.head.find("X-Renewed"), std::string::npos);
  }
  ASSERT_TRUE(gate_.wait_arrived(1));
  gate_.let_through();
  // The renewed response is fresh: once it is stored, requests stop asking.
  bool renewed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!renewed && std::chrono::steady_clock::now() < deadline) {
    renewed = fetch().head.find("X-Renewed: 1") != std::string::npos;
    if (!renewed) std::this_thread::yield();
  }
  EXPECT_TRUE(renewed);
  EXPECT_EQ(fetch().body, "old");
  EXPECT_EQ(server_.connections(), 2);  // the first fetch and the one renewal
}

TEST_F(Renewal, ReleasingTheEngineEndsAWaitingRenewal) {
  fetch();
  fetch();
  ASSERT_TRUE(gate_.wait_arrived(1));
  // Returns although the renewal still waits for its answer; no caller
  // waits for it, and it does not outlive the engine's thread.
  hv_engine_release(engine_);
  engine_ = 0;
}

}  // namespace
