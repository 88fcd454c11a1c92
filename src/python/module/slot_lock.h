// Per-object slot mutexes (a request's pending response and body stream, a
// WebSocket's event stream) may be held by a thread that waits on the
// network. A thread holding the interpreter lock therefore never blocks on
// one: it tries first and, when the slot is busy, waits with the interpreter
// released, so every other Python thread keeps running meanwhile.
#pragma once

#include <mutex>
#include <type_traits>

#include "python/module/gil.h"

namespace strandel {

// Runs `f` (which must not touch Python objects when the slot was busy)
// with `m` locked, and returns its result. Without the interpreter lock it
// simply waits for the slot.
template <typename F>
auto with_slot(std::mutex &m, F &&f) {
  if (!thread_holds_gil()) {
    std::lock_guard lock(m);
    return f();
  }
  {
    std::unique_lock lock(m, std::try_to_lock);
    if (lock.owns_lock()) return f();
  }
  GilRelease release;
  std::lock_guard lock(m);
  return f();
}

}  // namespace strandel
