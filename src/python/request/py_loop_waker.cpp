// LoopWaker: one per event loop, shared by every request and WebSocket
// started on it. Its descriptor becomes readable when one of them has news;
// drain() tells which.
#include "python/request/py_loop_waker.h"

#include <cerrno>

#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/pyref.h"
#include "python/module/type_spec.h"
#include "python/module/types.h"

namespace strandel {
namespace {

constexpr const char kClosed[] = "LoopWaker is closed";

PyLoopWakerValue &waker_value(PyObject *self) { return NativeObject<PyLoopWakerValue>::of(self); }

PyObject *waker_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"LoopWaker", "__new__"}, args, kwargs)) return nullptr;
    auto state = LoopWakerState::create();
    if (!state) return PyErr_SetFromErrno(PyExc_OSError);
    return emplace_native<PyLoopWakerValue>(TypeId::LoopWaker, std::move(state));
  });
}

PyObject *fileno(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    const int fd = waker_value(self).state->fileno();
    if (fd < 0) return raise_message(kClosed);
    return PyLong_FromLong(fd);
  });
}

PyObject *drain(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    std::vector<PyRef> objects = waker_value(self).state->drain();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(objects.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < objects.size(); ++i)
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), objects[i].release());  // steals
    return list.release();
  });
}

PyObject *discard(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    PyObject *obj = nullptr;
    if (!bind_args({"LoopWaker", "discard"}, args, kwargs, {param<to_object>("obj", obj)}))
      return nullptr;
    return PyBool_FromLong(waker_value(self).state->discard(obj));
  });
}

PyObject *waker_close(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    waker_value(self).state->close();
    Py_RETURN_NONE;
  });
}

PyObject *enter_context(PyObject *self, PyObject *) {
  Py_INCREF(self);
  return self;
}

PyObject *exit_context(PyObject *self, PyObject *) { return waker_close(self, nullptr); }

PyMethodDef waker_methods[] = {
    noargs_method("fileno", fileno),
    noargs_method("drain", drain),
    args_method("discard", discard),
    noargs_method("close", waker_close),
    noargs_method("__enter__", enter_context),
    {"__exit__", exit_context, METH_VARARGS, nullptr},
    kMethodsEnd,
};

}  // namespace

PyType_Spec *loop_waker_type_spec() {
  return native_type_spec<PyLoopWakerValue>(
      {"strandel_native36.LoopWaker", waker_methods, nullptr, waker_new});
}

bool to_loop_waker(PyObject *obj, PyObject *&out) {
  PyTypeObject *type = get_type(TypeId::LoopWaker);
  if (type == nullptr) return false;
  if (Py_TYPE(obj) != type) {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(obj)), "__qualname__"));
    if (qualname)
      PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to 'LoopWaker'",
                   qualname.get());
    return false;
  }
  out = obj;
  return true;
}

halvane::EventCallbackPtr register_with_waker(PyObject *waker, PyObject *self) {
  std::shared_ptr<LoopWakerState> state = waker_value(waker).state;
  auto registration = state->add(self);
  if (!registration) {
    raise_message(kClosed);
    return nullptr;
  }
  return make_waker_callback(std::move(state), std::move(registration));
}

}  // namespace strandel
