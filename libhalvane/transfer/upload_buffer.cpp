#include "transfer/upload_buffer.h"

#include <algorithm>
#include <cstring>

#include "base/codes.h"

namespace hvcore {

int32_t UploadBuffer::write(const uint8_t *data, uint32_t len, bool final_chunk, bool may_block) {
  std::function<void()> wake;
  std::unique_lock lock(mutex_);
  if (final_) return kInvalidState;
  if (closed_) return close_code_;
  if (len > 0) {
    chunks_.emplace_back(data, data + len);
    unsent_ += len;
  }
  final_ = final_chunk;
  if (active_ && !wake_posted_ && (len > 0 || final_chunk)) {
    wake_posted_ = true;
    wake = wake_;
  }
  if (wake) {
    lock.unlock();
    wake();
    lock.lock();
  }
  if (may_block) drained_.wait(lock, [&] { return closed_ || !holding_ || unsent_ <= limit_; });
  // Data taken in before the close may never be sent: say so.
  return closed_ && unsent_ > 0 ? close_code_ : kOk;
}

void UploadBuffer::hold_writers() {
  std::lock_guard lock(mutex_);
  holding_ = true;
}

void UploadBuffer::activate(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
  active_ = true;
}

size_t UploadBuffer::read(char *out, size_t cap, bool &end) {
  std::lock_guard lock(mutex_);
  end = false;
  size_t copied = 0;
  while (copied < cap && !chunks_.empty()) {
    const std::vector<uint8_t> &front = chunks_.front();
    const size_t n = std::min(cap - copied, front.size() - front_offset_);
    std::memcpy(out + copied, front.data() + front_offset_, n);
    copied += n;
    front_offset_ += n;
    if (front_offset_ == front.size()) {
      chunks_.pop_front();
      front_offset_ = 0;
    }
  }
  const bool was_over = unsent_ > limit_;
  unsent_ -= copied;
  if (was_over && unsent_ <= limit_) drained_.notify_all();
  end = copied == 0 && final_;
  return copied;
}

void UploadBuffer::woken() {
  std::lock_guard lock(mutex_);
  wake_posted_ = false;
}

void UploadBuffer::close(int32_t code) {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    close_code_ = code;
    chunks_.clear();
    front_offset_ = 0;
    // Keep `unsent_` so that blocked writers can tell their data was lost.
    wake.swap(wake_);
  }
  drained_.notify_all();
}

uint64_t UploadBuffer::unsent() const {
  std::lock_guard lock(mutex_);
  return unsent_;
}

}  // namespace hvcore
