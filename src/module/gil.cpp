#include "module/gil.h"

#include <mutex>
#include <vector>

namespace strandel {

namespace {

thread_local int depth = 0;

std::mutex &pending_mutex() {
  static std::mutex m;
  return m;
}
std::vector<PyObject *> &pending() {
  static auto *v = new std::vector<PyObject *>();  // lives for the process
  return *v;
}

}  // namespace

int gil_depth() { return depth; }
bool thread_holds_gil() { return depth > 0; }

void drain_pending_releases() {
  std::vector<PyObject *> batch;
  {
    std::lock_guard lock(pending_mutex());
    if (pending().empty()) return;
    batch.swap(pending());
  }
  // Dropping a reference may run arbitrary Python code, which may queue more.
  for (PyObject *obj : batch) Py_DECREF(obj);
}

void release_anywhere(PyObject *obj) {
  if (obj == nullptr) return;
  if (thread_holds_gil()) {
    Py_DECREF(obj);
    return;
  }
  std::lock_guard lock(pending_mutex());
  pending().push_back(obj);
}

ModuleEntry::ModuleEntry() {
  ++depth;
  drain_pending_releases();
}
ModuleEntry::~ModuleEntry() { --depth; }

GilRelease::GilRelease() : saved_depth_(depth) {
  depth = 0;
  state_ = PyEval_SaveThread();
}
GilRelease::~GilRelease() {
  PyEval_RestoreThread(state_);
  depth = saved_depth_;
}

GilAcquire::GilAcquire() : acquired_(!thread_holds_gil()) {
  if (acquired_) {
    state_ = PyGILState_Ensure();
    ++depth;
    drain_pending_releases();
  }
}
GilAcquire::~GilAcquire() {
  if (acquired_) {
    --depth;
    PyGILState_Release(state_);
  }
}

}  // namespace strandel
