// The state behind one LoopWaker: a descriptor an event loop watches, and the
// queue of registered objects (requests, WebSockets) that have news. Core
// threads announce news here without ever taking the interpreter lock; the
// loop's thread drains the queue and polls the objects it gets.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "client/event_callback.h"
#include "python/module/pyref.h"
#include "python/module/python.h"
#include "python/request/wake_fd.h"

namespace strandel {

// One object's registration. Its fields are guarded by the waker's mutex.
struct WakerEntry {
  explicit WakerEntry(PyObject *obj) : key(obj), object(obj) {}
  const PyObject *key;  // identity only, never dereferenced
  PyObject *object;     // strong reference while active; null once ended
  bool queued = false;  // on the news queue, not yet drained
};

class LoopWakerState {
 public:
  // A waker with an open descriptor; nothing with errno set.
  static std::shared_ptr<LoopWakerState> create();
  ~LoopWakerState();
  LoopWakerState(const LoopWakerState &) = delete;
  LoopWakerState &operator=(const LoopWakerState &) = delete;

  // The descriptor to watch; -1 once closed.
  int fileno();

  // Registers `obj` with a new strong reference, ending any earlier
  // registration of it. Nothing once closed. Needs the interpreter lock.
  std::shared_ptr<WakerEntry> add(PyObject *obj);
  // Queues the entry's news (once until drained) and makes the descriptor
  // readable when the queue was empty. Any thread; never touches Python.
  void announce(const std::shared_ptr<WakerEntry> &entry) noexcept;
  // Ends a registration. Any thread: without the interpreter lock its
  // reference is queued for release.
  void remove(const std::shared_ptr<WakerEntry> &entry) noexcept;
  // Ends the registration of `obj`; false when it had none. Needs the lock.
  bool discard(PyObject *obj);
  // The objects with news, once each in order of first news, as new
  // references; the descriptor is reset with the queue. Needs the lock.
  std::vector<PyRef> drain();
  // Ends every registration and closes the descriptor. Needs the lock.
  void close();

 private:
  LoopWakerState() = default;
  // Ends `entry` and hands its reference out; the mutex is held. The entry
  // may be freed by the call.
  PyObject *end_locked(WakerEntry &entry);
  friend struct WakerForkGuard;

  std::mutex mutex_;
  bool closed_ = false;
  WakeFd fd_;
  std::deque<std::shared_ptr<WakerEntry>> queue_;
  std::unordered_map<const PyObject *, std::shared_ptr<WakerEntry>> active_;
};

// The event callback of a registered object: announces its news to the
// waker, and ends the registration once the callback is let go (detached,
// replaced, or freed with the Core layer's shared state, on any thread).
halvane::EventCallbackPtr make_waker_callback(std::shared_ptr<LoopWakerState> state,
                                              std::shared_ptr<WakerEntry> entry);

}  // namespace strandel
