// Flow control in both directions: a paused response body stays paused until
// resumed, and upload writers wait while the Core holds 4 MiB, without losing
// the wake-up when the request ends under them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "harness.h"
#include "local_server.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kOk = 0, kInvalidState = 5, kCanceled = 7;
constexpr size_t kBody = 8 * 1024 * 1024;

TEST(Flow, PausedBodyWaitsForResume) {
  LocalServer server([](Connection &c, const std::string &) {
    c.send(ok_head(kBody));
    const std::string piece(64 * 1024, 'b');
    for (size_t sent = 0; sent < kBody; sent += piece.size())
      if (!c.send(piece)) return;
    c.wait_closed();
  });
  const hv_handle engine = make_engine();
  Recorder r;
  r.pause_next = true;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine, server.url("/big"), {}, &r, &request), kOk);
  ASSERT_EQ(hv_request_start(request), kOk);
  {
    std::unique_lock lock(r.mutex);
    ASSERT_TRUE(r.changed.wait_for(lock, 20s, [&] { return r.body_calls > 0; }));
  }
  // Paused after the first chunk: nothing more arrives while we wait.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(r.body_calls.load(), 1);
  EXPECT_EQ(r.completion_count(), 0);
  ASSERT_EQ(hv_request_resume_read(request), kOk);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(r.code, kOk);
  EXPECT_EQ(r.body.size(), kBody);
  EXPECT_EQ(r.body.find_first_not_of('b'), std::string::npos);
  hv_request_release(request);
  hv_engine_release(engine);
}

TEST(Flow, UploadWriterIsHeldBackAndFreedByCancel) {
  // The peer reads the head only: everything written piles up.
  LocalServer server([](Connection &c, const std::string &) { c.hold(); });
  const hv_handle engine = make_engine();
  Recorder r;
  RequestOptions options;
  options.method = "POST";
  options.body_kind = 2;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine, server.url("/up"), options, &r, &request), kOk);
  ASSERT_EQ(hv_request_start(request), kOk);

  std::atomic<uint64_t> accepted{0};
  std::atomic<int32_t> last{kOk};
  std::thread writer([&] {
    const std::string piece(256 * 1024, 'u');
    for (int i = 0; i < 1024; ++i) {
      const int32_t code = hv_request_upload_write(
          request, reinterpret_cast<const uint8_t *>(piece.data()), piece.size(), 0);
      if (code != kOk) {
        last = code;
        return;
      }
      accepted += piece.size();
    }
  });
  // Give the writer time to fill every buffer on the way.
  std::this_thread::sleep_for(1s);
  const uint64_t stalled = accepted.load();
  EXPECT_LT(stalled, 128u * 1024 * 1024);
  EXPECT_EQ(hv_request_cancel(request), kOk);
  writer.join();  // the cancel must wake the blocked writer
  EXPECT_EQ(last.load(), kCanceled);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(r.code, kCanceled);
  EXPECT_EQ(hv_request_upload_write(request, nullptr, 0, 1), kCanceled);
  hv_request_release(request);
  hv_engine_release(engine);
}

TEST(Flow, UploadStates) {
  const hv_handle engine = make_engine();
  Recorder r;
  hv_handle plain = 0, streamed = 0;
  ASSERT_EQ(create_request(engine, "http://127.0.0.1:1/", {}, &r, &plain), kOk);
  EXPECT_EQ(hv_request_upload_write(plain, nullptr, 0, 1), kInvalidState);
  RequestOptions options;
  options.method = "PUT";
  options.body_kind = 2;
  ASSERT_EQ(create_request(engine, "http://127.0.0.1:1/", options, &r, &streamed), kOk);
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(hv_request_upload_write(streamed, nullptr, 3, 0), 1);  // data missing
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 2), 1);     // flag is 0 or 1
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 0), kOk);   // before start: kept
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 1), kOk);
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 0), kInvalidState);
  hv_request_release(plain);
  hv_request_release(streamed);
  hv_engine_release(engine);
  EXPECT_EQ(r.completions, 0);
}

TEST(Flow, DeferredRedirectTimesOut) {
  LocalServer server([](Connection &c, const std::string &) {
    c.send("HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n");
    c.wait_closed();
  });
  const hv_handle engine = make_engine();
  Recorder r;
  RequestOptions options;
  options.redirect_mode = 1;
  options.timeout_ms = 300;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine, server.url("/start"), options, &r, &request), kOk);
  ASSERT_EQ(hv_request_start(request), kOk);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(r.code, 6);
  EXPECT_EQ(r.net_error, -7);
  ASSERT_EQ(r.redirects.size(), 1u);
  EXPECT_EQ(r.redirects[0], "302 " + server.url("/next") + " GET");
  EXPECT_EQ(r.status, 0);  // no head while the redirect waited
  hv_request_release(request);
  hv_engine_release(engine);
}

}  // namespace
