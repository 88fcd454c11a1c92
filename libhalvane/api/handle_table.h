// Maps the opaque handles given to callers to the objects behind them, so
// that a stale or made-up handle is refused instead of followed.
//
// Each entry remembers the process generation it was made in (fork.h). In a
// child process the entries inherited from the parent are found as such and
// never followed: their engines' threads exist only in the parent.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "api/fork.h"
#include "halvane/hv_abi.h"

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
  struct Found {
    std::shared_ptr<T> object;  // null when unknown or inherited
    bool inherited = false;     // made before this process was forked
  };

  hv_handle add(std::shared_ptr<T> object) {
    std::lock_guard lock(mutex_);
    // The counter is 32 bits on i386 and may wrap: never hand out 0 or a
    // handle that is still in use (try_emplace leaves `object` alone then).
    for (;;) {
      const hv_handle handle = next_handle_value();
      if (handle != 0 && objects_.try_emplace(handle, Entry{object, fork_generation()}).second)
        return handle;
    }
  }

  Found find(hv_handle handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return {};
    if (it->second.generation != fork_generation()) return {nullptr, true};
    return {it->second.object, false};
  }

  // Removes the handle; the caller gets the last reference the table held.
  // An inherited object is kept for good instead: freeing it would join
  // threads and end connections that belong to the parent.
  std::shared_ptr<T> take(hv_handle handle) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second.object);
    const bool inherited = it->second.generation != fork_generation();
    objects_.erase(it);
    if (!inherited) return object;
    abandoned_.push_back(std::move(object));
    return nullptr;
  }

  // Held across fork() so that the child gets the table in a consistent state.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  struct Entry {
    std::shared_ptr<T> object;
    uint32_t generation;
  };

  mutable std::mutex mutex_;
  std::unordered_map<hv_handle, Entry> objects_;
  std::vector<std::shared_ptr<T>> abandoned_;  // never freed: see take()
};

}  // namespace hvcore
