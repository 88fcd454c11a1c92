// Fork safety. A child process inherits copies of every engine, request and
// WebSocket, but none of the threads that run them, while their sockets are
// shared with the parent. In the child those objects are abandoned: calls on
// them fail at once with InvalidState, requests and WebSockets started in the
// parent never call back, and releasing them frees nothing (no thread is
// joined and nothing is written to a connection; the memory is left). New
// engines made in the child work as usual.
#pragma once

#include <atomic>
#include <cstdint>

namespace hvcore {

// 0 in the process that first used the Core, one more in each forked child.
inline std::atomic<uint32_t> &fork_generation_counter() {
  static std::atomic<uint32_t> generation{0};
  return generation;
}

inline uint32_t fork_generation() {
  return fork_generation_counter().load(std::memory_order_relaxed);
}

}  // namespace hvcore
