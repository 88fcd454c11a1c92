// The pieces every class's type is made of: method table rows, and the
// PyType_Spec that CPython builds the type from, made from its methods and
// getters so that no class writes its slot list by hand.
#pragma once

#include "python/module/python.h"
#include "python/module/types.h"

namespace strandel {

using ArgsFunction = PyObject *(*)(PyObject *self, PyObject *args, PyObject *kwargs);

// A method that binds its own arguments (positional and keyword).
inline PyMethodDef args_method(const char *name, ArgsFunction fn, const char *doc = nullptr) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

// A method for which the interpreter itself refuses any argument.
inline PyMethodDef noargs_method(const char *name, PyCFunction fn, int extra_flags = 0) {
  return {name, fn, METH_NOARGS | extra_flags, nullptr};
}

inline constexpr PyMethodDef kMethodsEnd = {nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kGettersEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

// What tells one class from another; both tables end with their sentinel.
struct TypeParts {
  const char *name;  // "builtins.PyEngine"
  PyMethodDef *methods = nullptr;
  PyGetSetDef *getters = nullptr;
  newfunc new_fn = no_constructor;
};

// The slots of a class whose instances hold a T. Not copyable: the
// PyType_Spec points into its own slot array.
class TypeSpec {
 public:
  TypeSpec(const TypeParts &parts, int basicsize, destructor dealloc) {
    PyType_Slot *slot = slots_;
    *slot++ = {Py_tp_new, reinterpret_cast<void *>(parts.new_fn)};
    *slot++ = {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)};
    if (parts.methods != nullptr) *slot++ = {Py_tp_methods, parts.methods};
    if (parts.getters != nullptr) *slot++ = {Py_tp_getset, parts.getters};
    *slot = {0, nullptr};
    spec_ = {parts.name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots_};
  }
  TypeSpec(const TypeSpec &) = delete;
  TypeSpec &operator=(const TypeSpec &) = delete;

  PyType_Spec *get() { return &spec_; }

 private:
  PyType_Slot slots_[5] = {};
  PyType_Spec spec_ = {};
};

// The PyType_Spec of the class holding a T, made from `parts` on the first
// call and kept (the type refers to its method and getter tables).
template <typename T>
PyType_Spec *native_type_spec(const TypeParts &parts) {
  static TypeSpec spec(parts, native_basicsize<T>(), native_dealloc<T>);
  return spec.get();
}

}  // namespace strandel
