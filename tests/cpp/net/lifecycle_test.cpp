// Every started request completes exactly once, on the engine's network
// thread, however it ends: finished, failed, cancelled or released, from
// several threads at once.
#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "harness.h"
#include "local_server.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

// Serves "/ok" at once; "/stall" sends a head and part of the body, then
// waits for the client to go.
LocalServer::Handler standard_handler() {
  return [](Connection &c, const std::string &head) {
    if (head.find("GET /ok ") == 0) {
      c.send(ok_head(5) + "hello");
      c.wait_closed();
    } else {
      c.send(ok_head(1000000) + std::string(100, 'x'));
      c.wait_closed();
    }
  };
}

class Lifecycle : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override {
    // Releasing the last use of the engine waits for its network thread, so
    // no callback can come after this.
    if (engine_) hv_engine_release(engine_);
  }

  hv_handle start(const std::string &url, Recorder &r) {
    hv_handle request = 0;
    EXPECT_EQ(create_request(engine_, url, {}, &r, &request), HV_OK);
    EXPECT_EQ(hv_request_start(request), HV_OK);
    return request;
  }

  LocalServer server_{standard_handler()};
  hv_handle engine_ = 0;
};

TEST_F(Lifecycle, SuccessCompletesOnceOnTheNetworkThread) {
  Recorder r;
  const hv_handle request = start(server_.url("/ok"), r);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(hv_request_start(request), HV_ERR_INVALID_STATE);
  hv_request_release(request);
  hv_engine_release(engine_);
  engine_ = 0;
  EXPECT_EQ(r.completions, 1);
  EXPECT_EQ(r.code, HV_OK);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(r.body, "hello");
  ASSERT_EQ(r.threads.size(), 1u);
  EXPECT_NE(r.threads[0], std::this_thread::get_id());
}

// A signal sent to the process (Ctrl-C) must reach the application's threads:
// an interpreter that waits in its main thread acts on it only there.
TEST_F(Lifecycle, TheNetworkThreadTakesNoProcessSignal) {
  Recorder r;
  hv_request_callbacks callbacks = Recorder::table(&r);
  static std::atomic<int> blocked{-1};
  callbacks.on_response = [](void *user, hv_handle h, int32_t status, const uint8_t *head,
                             uint32_t len) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    blocked =
        sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) && !sigismember(&mask, SIGSEGV);
    Recorder::table(static_cast<Recorder *>(user)).on_response(user, h, status, head, len);
  };
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine_, server_.url("/ok"), {}, callbacks, &request), HV_OK);
  ASSERT_EQ(hv_request_start(request), HV_OK);
  ASSERT_TRUE(r.wait_complete());
  hv_request_release(request);
  EXPECT_EQ(blocked.load(), 1);
  ASSERT_EQ(r.threads.size(), 1u);
  EXPECT_NE(r.threads[0], std::this_thread::get_id());
}

TEST_F(Lifecycle, CancelDuringABodyCompletesOnceWithCanceled) {
  Recorder r;
  const hv_handle request = start(server_.url("/stall"), r);
  ASSERT_TRUE(r.wait_head());
  EXPECT_EQ(hv_request_cancel(request), HV_OK);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(hv_request_cancel(request), HV_OK);  // already over: nothing happens
  EXPECT_EQ(hv_request_follow_redirect(request), HV_ERR_INVALID_STATE);
  hv_request_release(request);
  hv_engine_release(engine_);
  engine_ = 0;
  EXPECT_EQ(r.completions, 1);
  EXPECT_EQ(r.code, HV_ERR_CANCELED);
  EXPECT_EQ(r.net_error, -3);
}

TEST_F(Lifecycle, ReleaseOfARunningRequestStillCompletes) {
  Recorder r;
  const hv_handle request = start(server_.url("/stall"), r);
  ASSERT_TRUE(r.wait_head());
  hv_request_release(request);
  ASSERT_TRUE(r.wait_complete());
  hv_engine_release(engine_);
  engine_ = 0;
  EXPECT_EQ(r.completions, 1);
  EXPECT_EQ(r.code, HV_ERR_CANCELED);
  EXPECT_EQ(r.net_error, -3);
}

TEST_F(Lifecycle, ReleaseRightAfterStart) {
  for (int i = 0; i < 50; ++i) {
    Recorder r;
    hv_request_release(start(server_.url("/stall"), r));
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.completion_count(), 1);
  }
}

TEST_F(Lifecycle, UnstartedRequestsNeverCallBack) {
  Recorder r;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine_, server_.url("/ok"), {}, &r, &request), HV_OK);
  EXPECT_EQ(hv_request_resume_read(request), HV_ERR_INVALID_STATE);
  hv_request_release(request);
  hv_engine_release(engine_);
  engine_ = 0;
  EXPECT_EQ(r.completions, 0);
  EXPECT_EQ(server_.connections(), 0);
}

TEST_F(Lifecycle, CancelBeforeStartEndsTheStartAtOnce) {
  Recorder r;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine_, server_.url("/ok"), {}, &r, &request), HV_OK);
  EXPECT_EQ(hv_request_cancel(request), HV_OK);
  EXPECT_EQ(hv_request_start(request), HV_OK);
  ASSERT_TRUE(r.wait_complete());
  hv_request_release(request);
  EXPECT_EQ(r.completion_count(), 1);
  EXPECT_EQ(r.code, HV_ERR_CANCELED);
  EXPECT_EQ(server_.connections(), 0);
}

TEST_F(Lifecycle, FailureCompletesOnce) {
  Recorder r;
  // Port 1 on 127.0.0.1 has no listener here.
  const hv_handle request = start("http://127.0.0.1:1/", r);
  ASSERT_TRUE(r.wait_complete());
  hv_request_release(request);
  hv_engine_release(engine_);
  engine_ = 0;
  EXPECT_EQ(r.completions, 1);
  EXPECT_EQ(r.code, HV_ERR_NETWORK);
  EXPECT_EQ(r.net_error, -102);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Lifecycle, RequestsOutliveTheirEngine) {
  Recorder r;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine_, server_.url("/ok"), {}, &r, &request), HV_OK);
  hv_engine_release(engine_);
  engine_ = 0;
  ASSERT_EQ(hv_request_start(request), HV_OK);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(r.code, HV_OK);
  EXPECT_EQ(r.body, "hello");
  hv_request_release(request);  // the last use: the network thread ends here
}

TEST_F(Lifecycle, ManyThreadsStartCancelAndRelease) {
  constexpr int kThreads = 4, kPerThread = 25;
  std::vector<std::unique_ptr<Recorder>> recorders(kThreads * kPerThread);
  for (auto &r : recorders) r = std::make_unique<Recorder>();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kPerThread; ++i) {
        Recorder &r = *recorders[t * kPerThread + i];
        hv_handle request = 0;
        const char *path = random() % 2 ? "/ok" : "/stall";
        ASSERT_EQ(create_request(engine_, server_.url(path), {}, &r, &request), HV_OK);
        ASSERT_EQ(hv_request_start(request), HV_OK);
        switch (random() % 3) {
          case 0:
            hv_request_cancel(request);
            break;
          case 1:
            std::this_thread::sleep_for(1ms);
            break;
          default:
            hv_request_cancel(request);
            hv_request_cancel(request);
        }
        hv_request_release(request);
      }
    });
  }
  for (auto &t : threads) t.join();
  for (auto &r : recorders) ASSERT_TRUE(r->wait_complete());
  hv_engine_release(engine_);
  engine_ = 0;
  for (auto &r : recorders) EXPECT_EQ(r->completions, 1);
}

TEST_F(Lifecycle, EnginesComeAndGo) {
  // Each engine's thread ends with its last use, whichever that is.
  for (int i = 0; i < 30; ++i) {
    const hv_handle engine = make_engine();
    ASSERT_NE(engine, 0u);
    Recorder r;
    hv_handle request = 0;
    ASSERT_EQ(create_request(engine, server_.url(i % 2 ? "/ok" : "/stall"), {}, &r, &request),
              HV_OK);
    ASSERT_EQ(hv_request_start(request), HV_OK);
    if (i % 3 == 0) {
      hv_engine_release(engine);
      hv_request_release(request);
    } else {
      hv_request_release(request);
      hv_engine_release(engine);
    }
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.completion_count(), 1);
  }
}

}  // namespace
