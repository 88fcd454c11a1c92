#include "python/module/gil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
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

// The exit gate. Once the interpreter starts finalising, it ends (unwinds)
// every other thread that asks for its lock; unwinding a Core thread or a
// destructor aborts the process. So a thread first counts itself `inside`
// and then looks at `closing`, while the exit hook sets `closing` and then
// waits for `inside` to drain: with sequentially consistent operations on
// both, at least one of the two sees the other, and no thread reaches for
// the lock once finalisation may have begun.
std::atomic<int> inside{0};
std::atomic<bool> closing{false};
std::thread::id exit_thread;  // written before `closing` is set
std::mutex gate_mutex;
std::condition_variable gate_drained;

void gate_leave() {
  if (inside.fetch_sub(1) == 1 && closing.load()) {
    std::lock_guard lock(gate_mutex);
    gate_drained.notify_all();
  }
}

// True, inside the gate, when this thread may take the interpreter lock.
// The thread running the exit keeps its lock rights throughout.
bool gate_enter() {
  inside.fetch_add(1);
  if (!closing.load() || exit_thread == std::this_thread::get_id()) return true;
  gate_leave();
  return false;
}

// A Python thread that woke while the process exits must never run Python
// again; it sleeps until the process takes it down.
[[noreturn]] void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

PyObject *close_gate(PyObject *, PyObject *) {
  exit_thread = std::this_thread::get_id();
  closing.store(true);
  if (inside.load() != 0) {
    // Threads inside may be waiting for the lock this thread holds.
    PyThreadState *state = PyEval_SaveThread();
    {
      std::unique_lock lock(gate_mutex);
      gate_drained.wait(lock, [] { return inside.load() == 0; });
    }
    PyEval_RestoreThread(state);
  }
  Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_strandel_close_gate", close_gate, METH_NOARGS, nullptr};

}  // namespace

int gil_depth() { return depth; }
bool thread_holds_gil() { return depth > 0; }

bool install_exit_gate() {
  static bool installed = false;
  if (installed) return true;
  PyObject *atexit = PyImport_ImportModule("atexit");
  if (atexit == nullptr) return false;
  PyObject *hook = PyCFunction_NewEx(&close_gate_def, nullptr, nullptr);
  PyObject *result = hook == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", hook);
  Py_XDECREF(hook);
  Py_DECREF(atexit);
  if (result == nullptr) return false;
  Py_DECREF(result);
  installed = true;
  return true;
}

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
  if (!gate_enter()) park_forever();
  PyEval_RestoreThread(state_);
  gate_leave();
  depth = saved_depth_;
}

GilAcquire::GilAcquire() {
  if (thread_holds_gil()) {
    held_ = true;
    return;
  }
  if (!gate_enter()) return;
  // Without the hook (an embedding that never ran atexit) a finished
  // interpreter is still never touched.
  if (!Py_IsInitialized()) {
    gate_leave();
    return;
  }
  state_ = PyGILState_Ensure();
  acquired_ = held_ = true;
  ++depth;
  drain_pending_releases();
}
GilAcquire::~GilAcquire() {
  if (!acquired_) return;
  --depth;
  PyGILState_Release(state_);
  gate_leave();
}

}  // namespace strandel
