#include "python/module/pyvalues.h"

#include <cstring>

#include "python/module/convert.h"

namespace strandel {

PyObject *byte_list(const uint8_t *data, size_t len) {
  // Listing a bytes object builds the ints in the interpreter's own fast
  // loop, with the small-int cache, far quicker than item by item from here.
  PyRef bytes = PyRef::steal(byte_string(data, len));
  if (!bytes) return nullptr;
  return PySequence_List(bytes.get());
}

PyObject *byte_string(const uint8_t *data, size_t len) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                   static_cast<Py_ssize_t>(len));
}

PyObject *text(const std::string &utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

namespace {

void assign(std::vector<uint8_t> &out, const char *data, Py_ssize_t size) {
  out.resize(static_cast<size_t>(size));
  if (size > 0) std::memcpy(out.data(), data, static_cast<size_t>(size));
}

// True for a memoryview whose items are single unsigned bytes in one
// dimension: only then do its bytes equal its items. The stable ABI of 3.9
// has no buffer access, so the view's own attributes tell.
bool is_flat_byte_view(PyObject *obj) {
  if (!PyMemoryView_Check(obj)) return false;
  PyRef format = PyRef::steal(PyObject_GetAttrString(obj, "format"));
  PyRef ndim = format ? PyRef::steal(PyObject_GetAttrString(obj, "ndim")) : PyRef();
  if (!format || !ndim) {
    // A released view, say: the item-by-item path raises its own error.
    PyErr_Clear();
    return false;
  }
  const int is_b = PyUnicode_CompareWithASCIIString(format.get(), "B") == 0;
  const long dims = PyLong_AsLong(ndim.get());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return is_b && dims == 1;
}

}  // namespace

std::optional<bool> copy_byte_buffer(PyObject *obj, std::vector<uint8_t> &out) {
  if (PyBytes_CheckExact(obj)) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    assign(out, data, size);
    return true;
  }
  if (PyByteArray_CheckExact(obj)) {
    assign(out, PyByteArray_AsString(obj), PyByteArray_Size(obj));
    return true;
  }
  if (is_flat_byte_view(obj)) {
    // The contiguous copy the buffer protocol would give, made by the
    // interpreter since the 3.9 stable ABI cannot read the buffer itself.
    PyRef bytes = PyRef::steal(PyBytes_FromObject(obj));
    if (!bytes) return false;
    return copy_byte_buffer(bytes.get(), out);
  }
  return std::nullopt;
}

bool to_byte_input(PyObject *obj, ByteInput &out) {
  PyRef owner;
  if (PyBytes_CheckExact(obj))
    owner = PyRef::borrow(obj);
  else if (is_flat_byte_view(obj))
    owner = PyRef::steal(PyBytes_FromObject(obj));
  if (owner) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(owner.get(), &data, &size) < 0) return false;
    out.borrowed_ = {reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(size)};
    out.owner_ = std::move(owner);
    out.copy_.clear();
    return true;
  }
  if (PyErr_Occurred()) return false;
  if (!to_bytes(obj, out.copy_)) return false;
  out.owner_ = PyRef();
  out.borrowed_ = {};
  return true;
}

}  // namespace strandel
