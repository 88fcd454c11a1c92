// Brief spinning before a thread sleeps on a mutex shared with the Core's
// threads. Those critical sections last a microsecond or so, while a thread
// that sleeps on a contended mutex costs a wake-up on another CPU: tens of
// microseconds, far more in a virtual machine. A short spin turns most of
// those sleeps into a few checks; its budget stays below what the sleep
// would cost, so it never burns more than it saves.
#pragma once

#include <chrono>
#include <mutex>

namespace halvane {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A holder of these mutexes never waits on anything while holding them.
inline constexpr std::chrono::microseconds kLockSpin{5};

// Locks `mutex`, spinning briefly first when another thread holds it. The
// clock is read every few dozen tries only.
inline std::unique_lock<std::mutex> lock_spinning(std::mutex &mutex) {
  std::unique_lock lock(mutex, std::try_to_lock);
  if (lock.owns_lock()) return lock;
  const auto until = std::chrono::steady_clock::now() + kLockSpin;
  do {
    for (int i = 0; i < 32; ++i) {
      cpu_relax();
      if (lock.try_lock()) return lock;
    }
  } while (std::chrono::steady_clock::now() < until);
  lock.lock();
  return lock;
}

}  // namespace halvane
