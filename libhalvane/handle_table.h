// Maps the opaque handles given to callers to the objects behind them, so
// that a stale or made-up handle is refused instead of followed.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/hv_abi.h"

namespace hvcore {

// One counter for every kind of object, so that a handle of one kind is
// never a valid handle of another.
inline hv_handle next_handle_value() {
  static std::atomic<hv_handle> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

template <typename T>
class HandleTable {
 public:
  hv_handle add(std::shared_ptr<T> object) {
    std::lock_guard lock(mutex_);
    // The counter is 32 bits on i386 and may wrap: never hand out 0 or a
    // handle that is still in use (try_emplace leaves `object` alone then).
    for (;;) {
      const hv_handle handle = next_handle_value();
      if (handle != 0 && objects_.try_emplace(handle, std::move(object)).second) return handle;
    }
  }

  std::shared_ptr<T> find(hv_handle handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  // Removes the handle; the caller gets the last reference the table held.
  std::shared_ptr<T> take(hv_handle handle) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<hv_handle, std::shared_ptr<T>> objects_;
};

}  // namespace hvcore
