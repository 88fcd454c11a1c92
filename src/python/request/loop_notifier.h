// The event callback that tells a Python event loop to poll: it schedules
// `notify` with the loop's "call_soon_threadsafe", at most once per poll cycle.
#pragma once

#include <atomic>
#include <memory>

#include "client/event_callback.h"
#include "python/module/gil.h"

namespace strandel {

class LoopNotifier {
 public:
  // Takes new references to `loop` and `notify`; needs the interpreter lock.
  LoopNotifier(std::shared_ptr<std::atomic<bool>> flag, PyObject *loop, PyObject *notify)
      : flag_(std::move(flag)), loop_(loop), notify_(notify) {}

  // Runs on any thread, with no layer lock held. A notification already
  // scheduled and not yet followed by a poll makes this a no-op that never
  // touches the interpreter lock.
  void operator()() const;

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
  // Dropped on whichever thread lets the notifier go; queued without the lock.
  DeferredRef loop_;
  DeferredRef notify_;
};

// A notifier packaged as an event callback for a request or WebSocket.
halvane::EventCallbackPtr make_loop_notifier(std::shared_ptr<std::atomic<bool>> flag,
                                             PyObject *loop, PyObject *notify);

}  // namespace strandel
