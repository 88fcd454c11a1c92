// Interpreter-lock bookkeeping shared by every entry into the module.
//
// Each thread counts how deeply it is inside module code that holds the
// interpreter lock. A Core thread (count 0) that must touch Python takes the
// lock itself; a Python reference dropped without the lock is queued and
// released at the next entry that holds it.
#pragma once

#include "python/module/python.h"

namespace strandel {

// Depth of module code holding the interpreter lock on this thread.
int gil_depth();
bool thread_holds_gil();

// Registers the exit hook that closes the gate through which threads from
// outside take the interpreter lock (GilAcquire, GilRelease); once closed,
// only the exiting thread takes it. Needs the lock; false with an exception.
bool install_exit_gate();

// Releases every queued Python reference. Needs the interpreter lock.
void drain_pending_releases();
// Drops `obj` now when this thread holds the lock, else queues it.
void release_anywhere(PyObject *obj);

// Marks one entry from Python into the module (the lock is held): counts the
// depth and first releases what other threads queued.
class ModuleEntry {
 public:
  ModuleEntry();
  ~ModuleEntry();
  ModuleEntry(const ModuleEntry &) = delete;
  ModuleEntry &operator=(const ModuleEntry &) = delete;
};

// Releases the interpreter lock for its lifetime; the depth reads 0 meanwhile
// so that a notifier running on this thread takes the lock itself. No Python
// object may be touched while it lives. When the process is exiting, a thread
// other than the exiting one never returns from the destructor: it sleeps
// until the process ends rather than be unwound by the interpreter.
class GilRelease {
 public:
  GilRelease();
  ~GilRelease();
  GilRelease(const GilRelease &) = delete;
  GilRelease &operator=(const GilRelease &) = delete;

 private:
  PyThreadState *state_;
  int saved_depth_;
};

// Runs `f` without the interpreter lock and returns its result.
template <typename F>
auto without_gil(F &&f) {
  GilRelease release;
  return f();
}

// Takes the interpreter lock on any thread (a Core thread included) unless
// this thread already holds it through module code. Once the process is
// exiting it does not: held() is then false and Python must not be touched.
class GilAcquire {
 public:
  GilAcquire();
  ~GilAcquire();
  GilAcquire(const GilAcquire &) = delete;
  GilAcquire &operator=(const GilAcquire &) = delete;
  bool held() const { return held_; }

 private:
  bool acquired_ = false;
  bool held_ = false;
  PyGILState_STATE state_{};
};

// A strong Python reference that may be dropped on any thread.
class DeferredRef {
 public:
  DeferredRef() = default;
  // Takes a new reference to `obj`; needs the lock.
  explicit DeferredRef(PyObject *obj) : obj_(obj) { Py_XINCREF(obj); }
  DeferredRef(const DeferredRef &) = delete;
  DeferredRef &operator=(const DeferredRef &) = delete;
  ~DeferredRef() { release_anywhere(obj_); }
  PyObject *get() const { return obj_; }

 private:
  PyObject *obj_ = nullptr;
};

}  // namespace strandel
