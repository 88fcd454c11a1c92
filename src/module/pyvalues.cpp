#include "module/pyvalues.h"

namespace strandel {

PyObject *byte_list(const uint8_t *data, size_t len) {
  PyObject *list = PyList_New(static_cast<Py_ssize_t>(len));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < len; ++i) {
    PyObject *item = PyLong_FromLong(data[i]);  // small ints are cached
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject *text(const std::string &utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

}  // namespace strandel
