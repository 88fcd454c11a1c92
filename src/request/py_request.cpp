// PyRequest: one HTTP request driven from Python.
#include "module/types.h"

namespace strandel {
namespace {

struct PyRequestValue {};

PyMethodDef request_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void *>(native_dealloc<PyRequestValue>)},
    {Py_tp_methods, request_methods},
    {0, nullptr},
};

PyType_Spec request_spec = {"builtins.PyRequest", native_basicsize<PyRequestValue>(), 0,
                            Py_TPFLAGS_DEFAULT, request_slots};

}  // namespace

PyType_Spec *request_type_spec() { return &request_spec; }

}  // namespace strandel
