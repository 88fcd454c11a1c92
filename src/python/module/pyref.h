// RAII owner of one strong Python reference. Must be destroyed with the
// interpreter lock held; see DeferredRef for references dropped anywhere.
#pragma once

#include <utility>

#include "python/module/python.h"

namespace strandel {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be NULL).
  static PyRef steal(PyObject *obj) { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject *obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  PyRef(PyRef &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef &operator=(PyRef &&other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject *get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject *release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject *obj) : obj_(obj) {}
  PyObject *obj_ = nullptr;
};

}  // namespace strandel
