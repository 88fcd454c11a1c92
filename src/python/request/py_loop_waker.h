// LoopWaker: the Python class over LoopWakerState, and what requests and
// WebSockets use to register with one.
#pragma once

#include <memory>

#include "client/event_callback.h"
#include "python/module/python.h"
#include "python/request/loop_waker.h"

namespace strandel {

// The native value of a LoopWaker object; it closes the waker when it goes.
struct PyLoopWakerValue {
  explicit PyLoopWakerValue(std::shared_ptr<LoopWakerState> s) : state(std::move(s)) {}
  PyLoopWakerValue(const PyLoopWakerValue &) = delete;
  PyLoopWakerValue &operator=(const PyLoopWakerValue &) = delete;
  ~PyLoopWakerValue() { state->close(); }

  const std::shared_ptr<LoopWakerState> state;
};

// A parameter-table converter: a LoopWaker object, borrowed; TypeError for
// anything else.
bool to_loop_waker(PyObject *obj, PyObject *&out);

// Registers `self` with the LoopWaker `waker` and gives the event callback
// that announces its news. Null with RuntimeError "LoopWaker is closed".
halvane::EventCallbackPtr register_with_waker(PyObject *waker, PyObject *self);

}  // namespace strandel
