// PyWebSocket: one WebSocket connection driven from Python.
#include "module/types.h"

namespace strandel {
namespace {

struct PyWebSocketValue {};

PyMethodDef websocket_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot websocket_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void *>(native_dealloc<PyWebSocketValue>)},
    {Py_tp_methods, websocket_methods},
    {0, nullptr},
};

PyType_Spec websocket_spec = {"builtins.PyWebSocket", native_basicsize<PyWebSocketValue>(),
                              0, Py_TPFLAGS_DEFAULT, websocket_slots};

}  // namespace

PyType_Spec *websocket_type_spec() { return &websocket_spec; }

}  // namespace strandel
