// The Python classes: type objects built from their PyType_Spec slot tables
// on first use (the stable ABI has no static types), and the layout shared by their instances
// (header + native value).
#pragma once

#include <new>
#include <utility>

#include "python/module/errors.h"
#include "python/module/python.h"

namespace strandel {

enum class TypeId { Engine, Request, Response, WebSocket, LoopWaker };

// The class's type object, created on first use and kept for the process.
// NULL with an internal fault raised when it cannot be created.
PyTypeObject *get_type(TypeId id);
const char *type_name(TypeId id);

// Each class's PyType_Spec, defined beside the class.
PyType_Spec *engine_type_spec();
PyType_Spec *request_type_spec();
PyType_Spec *response_type_spec();
PyType_Spec *websocket_type_spec();
PyType_Spec *loop_waker_type_spec();

// tp_new of the classes that Python cannot construct.
PyObject *no_constructor(PyTypeObject *, PyObject *, PyObject *);

// An instance: the object header followed by one native value.
template <typename T>
struct NativeObject {
  PyObject_HEAD alignas(T) unsigned char storage[sizeof(T)];

  T &value() { return *std::launder(reinterpret_cast<T *>(storage)); }
  static T &of(PyObject *self) { return reinterpret_cast<NativeObject *>(self)->value(); }
};

// Allocates an instance of `type` holding `value`; NULL with an exception set.
template <typename T>
PyObject *wrap_native(PyTypeObject *type, T &&value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (reinterpret_cast<NativeObject<std::decay_t<T>> *>(self)->storage)
      std::decay_t<T>(std::forward<T>(value));
  return self;
}

// Allocates an instance of class `id` whose native value is built in place.
template <typename T, typename... Args>
PyObject *emplace_native(TypeId id, Args &&...args) {
  PyTypeObject *type = get_type(id);
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (reinterpret_cast<NativeObject<T> *>(self)->storage) T(std::forward<Args>(args)...);
  return self;
}

template <typename T>
PyObject *wrap_native(TypeId id, T &&value) {
  PyTypeObject *type = get_type(id);
  if (type == nullptr) return nullptr;
  return wrap_native(type, std::forward<T>(value));
}

// Deallocator: drops the native value, then frees the object.
template <typename T>
void native_dealloc(PyObject *self) {
  {
    ModuleEntry entered;
    NativeObject<T>::of(self).~T();
  }
  PyTypeObject *type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <typename T>
constexpr int native_basicsize() {
  return static_cast<int>(sizeof(NativeObject<T>));
}

}  // namespace strandel
