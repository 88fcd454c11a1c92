// The Core's own threads (every engine's network thread and WebSocket loop):
// marked, so that calls made from inside a callback never wait for work that
// only such a thread can do, and started with asynchronous signals blocked.
#pragma once

#include <pthread.h>

#include <csignal>
#include <thread>
#include <utility>

namespace hvcore {

inline thread_local bool tls_core_thread = false;

inline void mark_core_thread() { tls_core_thread = true; }
inline bool on_core_thread() { return tls_core_thread; }

// Starts a thread that never takes a signal sent to the process (Ctrl-C, a
// terminal's, a timer's): the application's own threads get them. A Python
// interpreter acts on signals in its main thread only, and the kernel may
// hand a process's signal to any thread that does not block it, which would
// leave the main thread asleep in its wait. Faults stay deliverable.
template <typename Body>
std::thread start_core_thread(Body &&body) {
  sigset_t blocked, saved;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
    sigdelset(&blocked, fault);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);  // the new thread inherits the mask
  struct Restore {
    const sigset_t &mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{saved};
  return std::thread(std::forward<Body>(body));
}

}  // namespace hvcore
