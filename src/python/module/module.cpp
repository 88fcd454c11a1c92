// Module initialisation: the four classes and abi_version, listed in __all__
// in the order they are added, and the LoopWaker class beside them.
#include "client/engine.h"
#include "python/module/errors.h"
#include "python/module/extension_args.h"
#include "python/module/gil.h"
#include "python/module/pyref.h"
#include "python/module/types.h"

namespace strandel {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "strandel_native36",
    "",       // empty docstring
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (created on first use), then sets the attribute.
// Takes over `value`.
bool add_attribute(PyObject *module, const char *name, PyRef value) {
  if (!value) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all.get(), py_name.get()) < 0) {
    PyErr_Clear();
    raise_internal_fault("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttrString(module, name, value.get()) == 0;
}

PyObject *init_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&module_def, 3));
  if (!module) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  for (TypeId id : {TypeId::Engine, TypeId::Request, TypeId::Response, TypeId::WebSocket}) {
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject *>(get_type(id)));
    if (!type || !add_attribute(module.get(), type_name(id), std::move(type))) return nullptr;
  }
  if (!add_attribute(module.get(), "abi_version",
                     PyRef::steal(PyLong_FromLong(halvane::Engine::abi_version()))))
    return nullptr;
  // The native helper of the asyncio layer: an attribute, not part of __all__.
  PyObject *waker = reinterpret_cast<PyObject *>(get_type(TypeId::LoopWaker));
  if (waker == nullptr ||
      PyObject_SetAttrString(module.get(), type_name(TypeId::LoopWaker), waker) < 0)
    return nullptr;
  // What the loaded Core offers beyond its base interface, looked up now,
  // once: an attribute beside the classes, not part of __all__.
  PyRef extensions = PyRef::steal(core_extension_names());
  if (!extensions || PyObject_SetAttrString(module.get(), "core_extensions", extensions.get()) < 0)
    return nullptr;
  if (!install_exit_gate()) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace strandel

extern "C" PyMODINIT_FUNC PyInit_strandel_native36(void) {
  return strandel::entry([] { return strandel::init_module(); });
}
