#include "python/module/extension_args.h"

#include <string>

#include "python/module/pyref.h"

namespace strandel {

bool to_optional_int64(PyObject *obj, std::optional<int64_t> &out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  out = static_cast<int64_t>(value);
  return true;
}

bool require_extension(halvane::Extension extension, const char *what) {
  if (halvane::core_extensions().has(extension)) return true;
  const std::string message = std::string("this Core does not support ") + what;
  PyErr_SetString(PyExc_NotImplementedError, message.c_str());
  return false;
}

PyObject *core_extension_names() {
  PyRef names = PyRef::steal(PySet_New(nullptr));
  if (!names) return nullptr;
  for (const halvane::ExtensionName &entry : halvane::kExtensionNames) {
    if (!halvane::core_extensions().has(entry.extension)) continue;
    PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
    if (!name || PySet_Add(names.get(), name.get()) < 0) return nullptr;
  }
  return PyFrozenSet_New(names.get());
}

}  // namespace strandel
