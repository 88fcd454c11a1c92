#include "python/module/types.h"

#include <string>

namespace strandel {

namespace {

PyType_Spec *spec_of(TypeId id) {
  switch (id) {
    case TypeId::Engine:
      return engine_type_spec();
    case TypeId::Request:
      return request_type_spec();
    case TypeId::Response:
      return response_type_spec();
    case TypeId::WebSocket:
      return websocket_type_spec();
    case TypeId::LoopWaker:
      return loop_waker_type_spec();
  }
  return nullptr;
}

}  // namespace

const char *type_name(TypeId id) {
  switch (id) {
    case TypeId::Engine:
      return "PyEngine";
    case TypeId::Request:
      return "PyRequest";
    case TypeId::Response:
      return "PyResponse";
    case TypeId::WebSocket:
      return "PyWebSocket";
    case TypeId::LoopWaker:
      return "LoopWaker";
  }
  return "?";
}

PyTypeObject *get_type(TypeId id) {
  static PyObject *types[5] = {};
  PyObject *&slot = types[static_cast<int>(id)];
  if (slot == nullptr) {
    slot = PyType_FromSpec(spec_of(id));
    if (slot == nullptr) {
      PyErr_Print();
      raise_internal_fault(std::string("An error occurred while initializing class ") +
                           type_name(id));
      return nullptr;
    }
  }
  return reinterpret_cast<PyTypeObject *>(slot);
}

PyObject *no_constructor(PyTypeObject *, PyObject *, PyObject *) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace strandel
