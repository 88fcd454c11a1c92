// The queue between callers of hv_request_upload_write and the network
// thread that hands a streamed body to libcurl. From the moment the request
// is started, writers are held back while more than the limit is queued, also
// before the network thread has picked the request up; the network thread is
// told when data arrives by `wake`, at most once until it has looked.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace hvcore {

class UploadBuffer {
 public:
  static constexpr uint64_t kDefaultLimit = 4 * 1024 * 1024;

  explicit UploadBuffer(uint64_t limit = kDefaultLimit) : limit_(limit) {}

  // Caller side. Copies the data and, once the request is started and
  // `may_block` is set, blocks while more than the limit is unsent. Returns a
  // result code: InvalidState after the final chunk, the closing code once
  // the body is no longer wanted.
  int32_t write(const uint8_t *data, uint32_t len, bool final_chunk, bool may_block);

  // The request was started: from now on only the network thread (or `close`)
  // lets a writer past the limit. Before this, writes never wait, since
  // nothing would ever drain them.
  void hold_writers();

  // Network side. `wake` is how writers reach the network thread; it is
  // called without the buffer's lock held.
  void activate(std::function<void()> wake);
  // Copies up to `cap` bytes. Returns the count; 0 with `end` false means
  // nothing is queued yet and the transfer must pause.
  size_t read(char *out, size_t cap, bool &end);
  // Called by the network thread when it handles a wake.
  void woken();
  // No more data is wanted: queued data is dropped, blocked writers return
  // `code` and later writes get it at once.
  void close(int32_t code);

  uint64_t unsent() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable drained_;
  const uint64_t limit_;
  std::deque<std::vector<uint8_t>> chunks_;
  size_t front_offset_ = 0;
  uint64_t unsent_ = 0;
  bool final_ = false;
  bool holding_ = false;
  bool active_ = false;
  bool wake_posted_ = false;
  bool closed_ = false;
  int32_t close_code_ = 0;
  std::function<void()> wake_;
};

}  // namespace hvcore
