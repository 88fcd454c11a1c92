// Flow control in both directions: a paused response body stays paused until
// resumed, and upload writers wait while the Core holds 4 MiB, without losing
// the wake-up when the request ends under them.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "harness.h"
#include "local_server.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

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
  ASSERT_EQ(create_request(engine, server.url("/big"), {}, &r, &request), HV_OK);
  ASSERT_EQ(hv_request_start(request), HV_OK);
  {
    std::unique_lock lock(r.mutex);
    ASSERT_TRUE(r.changed.wait_for(lock, 20s, [&] { return r.body_calls > 0; }));
  }
  // Paused after the first chunk: nothing more arrives while we wait.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(r.body_calls.load(), 1);
  EXPECT_EQ(r.completion_count(), 0);
  ASSERT_EQ(hv_request_resume_read(request), HV_OK);
  ASSERT_TRUE(r.wait_complete());
  EXPECT_EQ(r.code, HV_OK);
  EXPECT_EQ(r.body.size(), kBody);
  EXPECT_EQ(r.body.find_first_not_of('b'), std::string::npos);
  hv_request_release(request);
  hv_engine_release(engine);
}

// Writes a streamed body from a thread of its own, 256 KiB at a time, and
// counts what the Core accepted.
struct UploadWriter {
  static constexpr size_t kPiece = 256 * 1024;

  explicit UploadWriter(hv_handle request)
      : thread([this, request] {
          const std::string piece(kPiece, 'u');
          for (int i = 0; i < 1024; ++i) {
            const int32_t code = hv_request_upload_write(
                request, reinterpret_cast<const uint8_t *>(piece.data()), piece.size(), 0);
            std::lock_guard lock(mutex);
            if (code != HV_OK) {
              last = code;
              break;
            }
            accepted += piece.size();
            changed.notify_all();
          }
          std::lock_guard lock(mutex);
          done = true;
          changed.notify_all();
        }) {}
  ~UploadWriter() {
    if (thread.joinable()) thread.join();
  }

  // True once `bytes` were accepted or the writer stopped.
  bool wait_accepted(uint64_t bytes, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return done || accepted >= bytes; });
  }
  bool wait_done(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return done; });
  }
  uint64_t accepted_bytes() {
    std::lock_guard lock(mutex);
    return accepted;
  }

  std::mutex mutex;
  std::condition_variable changed;
  uint64_t accepted = 0;
  int32_t last = HV_OK;
  bool done = false;
  std::thread thread;
};

// Writers are held to the 4 MiB bound from the moment the request starts,
// while the network thread has not yet picked the request up (here: it is
// held in another request's callback), and afterwards while the peer reads
// nothing. A cancel frees a blocked writer with its code, whether the request
// ever became active or not.
TEST(Flow, UploadWriterIsHeldBackAndFreedByCancel) {
  constexpr uint64_t kLimit = 4 * 1024 * 1024;
  for (const bool cancel_before_activation : {true, false}) {
    SCOPED_TRACE(cancel_before_activation ? "cancelled before activation" : "cancelled later");
    // The peer reads the head only: everything written piles up.
    LocalServer server([](Connection &c, const std::string &) { c.hold(); });
    const hv_handle engine = make_engine();
    auto hold = std::make_unique<NetworkThreadHold>(engine);
    Recorder r;
    RequestOptions options;
    options.method = "POST";
    options.body_kind = HV_BODY_STREAMED;
    hv_handle request = 0;
    ASSERT_EQ(create_request(engine, server.url("/up"), options, &r, &request), HV_OK);
    ASSERT_EQ(hv_request_start(request), HV_OK);

    auto writer = std::make_unique<UploadWriter>(request);
    ASSERT_TRUE(writer->wait_accepted(kLimit, 20s));
    // Nothing can drain the queue while the network thread is held, so the
    // writer stays blocked at the bound.
    EXPECT_FALSE(writer->wait_done(300ms));
    EXPECT_LE(writer->accepted_bytes(), kLimit + UploadWriter::kPiece);

    if (cancel_before_activation) {
      EXPECT_EQ(hv_request_cancel(request), HV_OK);
    }
    hold.reset();  // the network thread runs again
    if (!cancel_before_activation) {
      EXPECT_FALSE(r.wait_head(300ms));  // the peer never answers
      // Socket buffers take some more; the Core's own queue stays bounded.
      EXPECT_LT(writer->accepted_bytes(), 128u * 1024 * 1024);
      EXPECT_FALSE(writer->wait_done(0ms));
      EXPECT_EQ(hv_request_cancel(request), HV_OK);
    }
    ASSERT_TRUE(writer->wait_done(20s));  // the cancel must wake the blocked writer
    EXPECT_EQ(writer->last, HV_ERR_CANCELED);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.code, HV_ERR_CANCELED);
    EXPECT_EQ(hv_request_upload_write(request, nullptr, 0, 1), HV_ERR_CANCELED);
    writer.reset();
    hv_request_release(request);
    hv_engine_release(engine);
  }
}

TEST(Flow, UploadStates) {
  const hv_handle engine = make_engine();
  Recorder r;
  hv_handle plain = 0, streamed = 0;
  ASSERT_EQ(create_request(engine, "http://127.0.0.1:1/", {}, &r, &plain), HV_OK);
  EXPECT_EQ(hv_request_upload_write(plain, nullptr, 0, 1), HV_ERR_INVALID_STATE);
  RequestOptions options;
  options.method = "PUT";
  options.body_kind = HV_BODY_STREAMED;
  ASSERT_EQ(create_request(engine, "http://127.0.0.1:1/", options, &r, &streamed), HV_OK);
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(hv_request_upload_write(streamed, nullptr, 3, 0), 1);   // data missing
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 2), 1);      // flag is 0 or 1
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 0), HV_OK);  // before start: kept
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 1), HV_OK);
  EXPECT_EQ(hv_request_upload_write(streamed, data, 3, 0), HV_ERR_INVALID_STATE);
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
  options.redirect_mode = HV_REDIRECT_MANUAL;
  options.timeout_ms = 300;
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine, server.url("/start"), options, &r, &request), HV_OK);
  ASSERT_EQ(hv_request_start(request), HV_OK);
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
