#include "python/request/loop_notifier.h"

#include "python/module/pyref.h"

namespace strandel {

void LoopNotifier::operator()() const {
  if (flag_->exchange(true)) return;
  // Once the process is exiting nobody is left to tell.
  GilAcquire gil;
  if (!gil.held()) return;
  PyRef method = PyRef::steal(PyObject_GetAttrString(loop_.get(), "call_soon_threadsafe"));
  PyRef result;
  if (method)
    result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), notify_.get(), nullptr));
  if (!result) {
    // A closed loop, say: nobody to tell. Let the next event try again.
    PyErr_Clear();
    flag_->store(false);
  }
}

halvane::EventCallbackPtr make_loop_notifier(std::shared_ptr<std::atomic<bool>> flag,
                                             PyObject *loop, PyObject *notify) {
  auto notifier = std::make_shared<const LoopNotifier>(std::move(flag), loop, notify);
  return std::make_shared<const halvane::EventCallback>([notifier] { (*notifier)(); });
}

}  // namespace strandel
