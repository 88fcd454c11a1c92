#include "python/module/errors.h"

namespace strandel {

PyObject *raise_message(const char *message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return nullptr;
}

PyObject *raise_message(const std::string &message) { return raise_message(message.c_str()); }

PyObject *raise_error(const halvane::Error &error) { return raise_message(error.display()); }

PyObject *raise_request_error(const halvane::RequestError &error) {
  return raise_message(error.display());
}

PyObject *raise_internal_fault(const std::string &message) {
  // Created on first use and kept for the process.
  static PyObject *fault_class = nullptr;
  if (fault_class == nullptr) {
    fault_class =
        PyErr_NewException("strandel_native36.InternalFault", PyExc_BaseException, nullptr);
    if (fault_class == nullptr) return nullptr;
  }
  PyErr_SetString(fault_class, message.c_str());
  return nullptr;
}

}  // namespace strandel
