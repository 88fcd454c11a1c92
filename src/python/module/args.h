// Declarative argument binding shared by every method.
//
// A method lists its parameters once, as a table of (name, destination,
// converter, default); bind_args() takes the count, the keyword names and the
// required prefix from that table. It binds the positional and keyword
// arguments to one slot per parameter, then converts the given slots in
// table order. A conversion that fails with TypeError is re-raised as
// "argument '<name>': <message>"; other errors pass unchanged.
#pragma once

#include <initializer_list>
#include <utility>

#include "python/module/convert.h"
#include "python/module/python.h"

namespace strandel {

// The Python name of a method, as shown in binding errors:
// "PyEngine.request()".
struct MethodName {
  const char *class_name;
  const char *function_name;
};

// One row of a parameter table: the converter is erased to a function that
// writes through `dest`.
struct Param {
  const char *name;
  bool required;
  bool (*convert)(PyObject *obj, void *dest);
  void *dest;
};

namespace detail {
template <auto Convert, typename T>
bool convert_into(PyObject *obj, void *dest) {
  return Convert(obj, *static_cast<T *>(dest));
}
}  // namespace detail

// A required parameter: `Convert(obj, dest)` fills `dest`.
template <auto Convert, typename T>
Param param(const char *name, T &dest) {
  return {name, true, &detail::convert_into<Convert, T>, &dest};
}

// A parameter with a default, stored in `dest` now: a given argument
// replaces it. Required parameters come first in a table.
template <auto Convert, typename T, typename D>
Param param(const char *name, T &dest, D &&fallback) {
  dest = std::forward<D>(fallback);
  return {name, false, &detail::convert_into<Convert, T>, &dest};
}

// Binds and converts the arguments of `method` by the table `params`. False
// with a Python exception pending.
bool bind_args(const MethodName &method, PyObject *args, PyObject *kwargs,
               std::initializer_list<Param> params);

// A method that takes no arguments, checked as one whose table is empty.
inline bool no_args(const MethodName &method, PyObject *args, PyObject *kwargs) {
  return bind_args(method, args, kwargs, {});
}

}  // namespace strandel
