// A plain GET that a fresh response in the engine's memory cache answers is
// answered from inside hv_request_start; everything else goes through the
// network thread. Either way each request completes once, with the same
// callbacks, whatever other threads do to it meanwhile.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "harness.h"
#include "local_server.h"

using namespace nettest;

namespace {

// One response a connection: the handler sees only a connection's first head.
LocalServer::Handler cacheable_handler() {
  return [](Connection &c, const std::string &head) {
    const bool vary = head.find("GET /vary ") == 0;
    c.send(std::string("HTTP/1.1 200 OK\r\nConnection: close\r\nCache-Control: max-age=3600\r\n") +
           (vary ? "Vary: Accept\r\n" : "") + "Content-Length: 5\r\n\r\nhello");
    c.wait_closed();
  };
}

class MemoryCache : public testing::Test {
 protected:
  void SetUp() override {
    engine_ = make_engine();
    for (const char *path : {"/fresh", "/vary"}) {  // stored by a first fetch
      Recorder r;
      const hv_handle request = start(path, {}, r);
      ASSERT_TRUE(r.wait_complete());
      hv_request_release(request);
    }
  }
  void TearDown() override { hv_engine_release(engine_); }

  hv_handle start(const std::string &path, const RequestOptions &options, Recorder &r) {
    hv_handle request = 0;
    EXPECT_EQ(create_request(engine_, server_.url(path), options, &r, &request), HV_OK);
    EXPECT_EQ(hv_request_start(request), HV_OK);
    return request;
  }

  LocalServer server_{cacheable_handler()};
  hv_handle engine_ = 0;
};

TEST_F(MemoryCache, OnlyPlainFreshHitsAreAnsweredInsideStart) {
  struct Case {
    const char *path;
    std::vector<std::pair<std::string, std::string>> headers;
    bool inside_start;
    int status = 200;
    const char *body = "hello";
  };
  const Case cases[] = {
      {"/fresh", {}, true},
      {"/fresh", {{"Accept", "text/plain"}}, true},
      {"/fresh", {{"Cache-Control", "no-cache"}}, false},      // revalidated
      {"/fresh", {{"If-None-Match", "\"x\""}}, false},         // the caller's own conditional
      {"/fresh", {{"Range", "bytes=0-1"}}, false, 206, "he"},  // a part of the stored one
      {"/vary", {}, false},                                    // compared with the fields as sent
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.headers.empty() ? "" : " " + c.headers[0].first));
    Recorder r;
    RequestOptions options;
    options.headers = c.headers;
    const hv_handle request = start(c.path, options, r);
    // Answered inside: complete on return. Otherwise the network thread may
    // have answered from the cache already, so only its thread tells.
    if (c.inside_start) EXPECT_EQ(r.completion_count(), 1);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.code, HV_OK);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.body);
    ASSERT_EQ(r.threads.size(), 1u);
    EXPECT_EQ(r.threads[0] == std::this_thread::get_id(), c.inside_start);
    if (c.inside_start) EXPECT_NE(r.head.find("\r\nAge: "), std::string::npos);
    // Finished: later calls change nothing and report as for any ended request.
    EXPECT_EQ(hv_request_cancel(request), HV_OK);
    EXPECT_EQ(hv_request_resume_read(request), HV_OK);
    EXPECT_EQ(hv_request_start(request), HV_ERR_INVALID_STATE);
    hv_request_release(request);
    EXPECT_EQ(r.completion_count(), 1);
  }
}

TEST_F(MemoryCache, ManyThreadsStartCancelAndReleaseHitsAndMisses) {
  constexpr int kThreads = 4, kPerThread = 40;
  std::vector<std::unique_ptr<Recorder>> recorders(kThreads * kPerThread);
  for (auto &r : recorders) r = std::make_unique<Recorder>();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kPerThread; ++i) {
        Recorder &r = *recorders[t * kPerThread + i];
        RequestOptions options;
        if (random() % 3 == 0) options.headers = {{"Cache-Control", "no-cache"}};
        hv_handle request = 0;
        ASSERT_EQ(create_request(engine_, server_.url("/fresh"), options, &r, &request), HV_OK);
        ASSERT_EQ(hv_request_start(request), HV_OK);
        if (random() % 2) hv_request_cancel(request);
        hv_request_release(request);
      }
    });
  }
  for (auto &t : threads) t.join();
  for (auto &r : recorders) {
    ASSERT_TRUE(r->wait_complete());
    EXPECT_EQ(r->completion_count(), 1);
    EXPECT_TRUE(r->code == HV_OK || r->code == HV_ERR_CANCELED) << r->code;
  }
}

}  // namespace
