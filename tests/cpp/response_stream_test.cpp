// Reading the body: order, the failure reported once, flow control with the
// Core, and several readers at once.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "request_test_support.h"

using namespace request_test;
using halvane::BodyItem;
using halvane::Chunk;
using halvane::End;
using halvane::Error;
using halvane::NotReady;
using halvane::RequestError;

namespace {

constexpr uint32_t kMiB = halvane::kPauseThreshold;

class StreamTest : public RequestTest {
 protected:
  // A started request whose head was taken.
  struct Open {
    halvane::Request request;
    halvane::ResponseStream stream;
    uint64_t handle;
  };
  Open open() {
    Started s = start();
    respond(s.handle, 200, "h");
    auto response = std::move(s.future).wait();
    EXPECT_TRUE(response.ok());
    return {s.request, std::move(response).value().body, s.handle};
  }
};

size_t chunk_size(const BodyItem &item) { return std::get<Chunk>(item).size(); }

TEST_F(StreamTest, ChunksThenFailureOnceThenEnd) {
  Open o = open();
  body(o.handle, "a");
  body(o.handle, "");
  body(o.handle, "ccc");
  complete(o.handle, 8, -105);
  EXPECT_EQ(std::get<Chunk>(o.stream.blocking_next()), Chunk{'a'});
  EXPECT_EQ(std::get<Chunk>(o.stream.try_next()), Chunk{}) << "an empty chunk is not the end";
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), 3u);
  auto failure = o.stream.blocking_next();
  ASSERT_TRUE(std::holds_alternative<RequestError>(failure));
  EXPECT_EQ(std::get<RequestError>(failure).display(), "Network (Chromium net error -105)");
  EXPECT_TRUE(std::holds_alternative<End>(o.stream.blocking_next()));
  EXPECT_TRUE(std::holds_alternative<End>(o.stream.try_next()));
}

TEST_F(StreamTest, EmptySuccessfulBody) {
  Open o = open();
  EXPECT_TRUE(std::holds_alternative<NotReady>(o.stream.try_next()));
  complete(o.handle, 0);
  EXPECT_TRUE(std::holds_alternative<End>(o.stream.try_next()));
  EXPECT_TRUE(std::holds_alternative<End>(o.stream.blocking_next()));
}

// ---- flow control ---------------------------------------------------------

struct PauseCase {
  const char *name;
  std::vector<uint32_t> chunks;
  std::vector<int> results;
};

class PauseTest : public StreamTest, public ::testing::WithParamInterface<PauseCase> {};

TEST_P(PauseTest, PausesAtOneMebibyteBuffered) {
  Open o = open();
  for (uint32_t n : GetParam().chunks) body(o.handle, std::string(n, 'x'));
  EXPECT_EQ(fake::body_results(o.handle), GetParam().results);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, PauseTest,
    ::testing::Values(PauseCase{"JustBelow", {kMiB - 1}, {1}}, PauseCase{"Exactly", {kMiB}, {0}},
                      PauseCase{"CrossedByOneByte", {kMiB - 1, 1}, {1, 0}},
                      PauseCase{"KeepsPausingWhileFull", {600'000, 500'000, 1}, {1, 0, 0}},
                      PauseCase{"EmptyChunkAtThreshold", {kMiB, 0}, {0, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(StreamTest, ReadingBelowTheThresholdResumesOncePerPause) {
  Open o = open();
  body(o.handle, std::string(600'000, 'a'));
  body(o.handle, std::string(500'000, 'b'));
  EXPECT_EQ(fake::body_results(o.handle), (std::vector<int>{1, 0}));
  EXPECT_EQ(calls("hv_request_resume_read"), 0u);
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), 600'000u);  // 500,000 left
  EXPECT_EQ(calls("hv_request_resume_read"), 1u);
  EXPECT_EQ(chunk_size(o.stream.try_next()), 500'000u);
  EXPECT_EQ(calls("hv_request_resume_read"), 1u);
  // A new pause, and a resume for it.
  body(o.handle, std::string(kMiB, 'c'));
  EXPECT_EQ(last_body_result(o.handle), 0);
  EXPECT_EQ(chunk_size(o.stream.try_next()), kMiB);
  EXPECT_EQ(calls("hv_request_resume_read"), 2u);
}

TEST_F(StreamTest, ReadThatStaysAtTheThresholdDoesNotResume) {
  Open o = open();
  body(o.handle, std::string(10, 'a'));
  body(o.handle, std::string(kMiB, 'b'));
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), 10u);  // exactly 1 MiB left
  EXPECT_EQ(calls("hv_request_resume_read"), 0u);
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), kMiB);
  EXPECT_EQ(calls("hv_request_resume_read"), 1u);
}

TEST_F(StreamTest, NoPauseOnceTheOutcomeIsFinal) {
  Open o = open();
  Tracker tracker;
  tracker.throwing = 1;
  o.request.set_event_callback(tracker.callback());
  body(o.handle, "x");  // the failing event callback ends the request
  ASSERT_TRUE(o.request.is_finished());
  body(o.handle, std::string(2 * kMiB, 'y'));
  EXPECT_EQ(last_body_result(o.handle), 1);
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), 1u);
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), 2 * kMiB);
  EXPECT_EQ(std::get<RequestError>(o.stream.blocking_next()),
            (RequestError{Error::Kind::CallbackPanic, 0}));
  EXPECT_EQ(calls("hv_request_resume_read"), 0u);
}

TEST_F(StreamTest, BodyDeliveredInsideTheResumeCall) {
  Open o = open();
  body(o.handle, std::string(kMiB, 'a'));
  ASSERT_EQ(last_body_result(o.handle), 0);
  // The Core answers the resume at once, on the reader's thread.
  body(o.handle, "next", "hv_request_resume_read");
  complete(o.handle, 0, 0, "hv_request_resume_read");
  EXPECT_EQ(chunk_size(o.stream.blocking_next()), kMiB);
  EXPECT_EQ(fake::body_results(o.handle), (std::vector<int>{0, 1}));
  EXPECT_EQ(std::get<Chunk>(o.stream.blocking_next()), (Chunk{'n', 'e', 'x', 't'}));
  EXPECT_TRUE(std::holds_alternative<End>(o.stream.blocking_next()));
}

// A Core that honours the pauses: it delivers on the delivery thread and,
// after a 0 from on_body, waits for hv_request_resume_read before going on.
TEST_F(StreamTest, PausingCoreAndSlowReaderLoseNothing) {
  Open o = open();
  struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    int resumes = 0;
    int pauses = 0;
  } gate;
  std::function<void()> arm_resume = [&] {
    fake::arm(o.handle, "hv_request_resume_read", [&] {
      {
        std::lock_guard lock(gate.mutex);
        ++gate.resumes;
      }
      gate.cv.notify_all();
      arm_resume();
    });
  };
  arm_resume();
  constexpr int kChunks = 40;
  constexpr uint32_t kSize = 100'000;
  std::thread producer([&] {
    for (int i = 0; i < kChunks; ++i) {
      std::string data(kSize, static_cast<char>('a' + i % 26));
      if (body(o.handle, data) == 1 && last_body_result(o.handle) == 0) {
        std::unique_lock lock(gate.mutex);
        const int pause = ++gate.pauses;
        gate.cv.notify_all();
        gate.cv.wait(lock, [&] { return gate.resumes >= pause; });
      }
    }
    complete(o.handle, 0);
  });
  {
    // Start reading once the buffer filled up, then race the producer.
    std::unique_lock lock(gate.mutex);
    gate.cv.wait(lock, [&] { return gate.pauses > 0; });
  }
  uint64_t total = 0;
  int index = 0;
  for (;;) {
    BodyItem item = o.stream.blocking_next();
    if (std::holds_alternative<End>(item)) break;
    const Chunk &chunk = std::get<Chunk>(item);
    ASSERT_EQ(chunk.size(), kSize);
    EXPECT_EQ(chunk.front(), static_cast<uint8_t>('a' + index % 26));
    total += chunk.size();
    ++index;
  }
  producer.join();
  EXPECT_EQ(total, uint64_t{kChunks} * kSize);
  const auto results = fake::body_results(o.handle);
  const auto pauses = std::count(results.begin(), results.end(), 0);
  EXPECT_GT(pauses, 0);
  EXPECT_EQ(static_cast<int64_t>(calls("hv_request_resume_read")), pauses);
}

TEST_F(StreamTest, ConcurrentReadersShareTheChunksExactlyOnce) {
  Open o = open();
  constexpr int kReaders = 4;
  constexpr uint32_t kChunks = 4000;
  std::mutex mutex;
  std::map<uint32_t, int> seen;
  int ends = 0;
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r)
    readers.emplace_back([&, r, stream = o.stream]() mutable {
      for (;;) {
        BodyItem item = (r % 2) ? stream.blocking_next() : stream.try_next();
        if (std::holds_alternative<NotReady>(item)) {
          std::this_thread::yield();
          continue;
        }
        std::lock_guard lock(mutex);
        if (std::holds_alternative<End>(item)) {
          ++ends;
          return;
        }
        const Chunk &chunk = std::get<Chunk>(item);
        uint32_t index = 0;
        std::memcpy(&index, chunk.data(), sizeof index);
        ++seen[index];
      }
    });
  for (uint32_t i = 0; i < kChunks; ++i) {
    std::string data(reinterpret_cast<const char *>(&i), sizeof i);
    body(o.handle, data, (i % 2) ? "post" : nullptr);
  }
  complete(o.handle, 0, 0, "post");
  for (auto &t : readers) t.join();
  EXPECT_EQ(ends, kReaders);
  ASSERT_EQ(seen.size(), kChunks);
  for (const auto &[index, count] : seen) EXPECT_EQ(count, 1) << index;
}

// A reader blocked on an empty stream is woken by each callback that can
// give it something.
struct WakeCase {
  const char *name;
  bool chunk;
  int32_t code;
};

class StreamWakeTest : public StreamTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(StreamWakeTest, BlockedReaderIsWoken) {
  Open o = open();
  std::optional<BodyItem> item;
  std::thread reader([&] { item = o.stream.blocking_next(); });
  fake_post_sleep(20);
  if (GetParam().chunk)
    body(o.handle, "z", "post");
  else
    complete(o.handle, GetParam().code, -1, "post");
  reader.join();
  ASSERT_TRUE(item.has_value());
  if (GetParam().chunk)
    EXPECT_TRUE(std::holds_alternative<Chunk>(*item));
  else if (GetParam().code == 0)
    EXPECT_TRUE(std::holds_alternative<End>(*item));
  else
    EXPECT_TRUE(std::holds_alternative<RequestError>(*item));
}

INSTANTIATE_TEST_SUITE_P(Wakes, StreamWakeTest,
                         ::testing::Values(WakeCase{"Chunk", true, 0},
                                           WakeCase{"Success", false, 0},
                                           WakeCase{"Failure", false, 6}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
