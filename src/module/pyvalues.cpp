#include "module/pyvalues.h"

namespace strandel {

PyObject *byte_list(const uint8_t *data, size_t len) {
  // Listing a bytes object builds the ints in the interpreter's own fast
  // loop, with the small-int cache, far quicker than item by item from here.
  PyObject *bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                              static_cast<Py_ssize_t>(len));
  if (bytes == nullptr) return nullptr;
  PyObject *list = PySequence_List(bytes);
  Py_DECREF(bytes);
  return list;
}

PyObject *text(const std::string &utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

}  // namespace strandel
