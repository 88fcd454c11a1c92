#include "python/module/args.h"

#include <cstdint>
#include <string>
#include <vector>

#include "python/module/errors.h"
#include "python/module/pyref.h"

namespace strandel {
namespace {

// More parameters than any method has; the slots live on the stack.
constexpr size_t kMaxParams = 16;

std::string display_name(const MethodName &method) {
  return std::string(method.class_name) + "." + method.function_name + "()";
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_name_list(const std::vector<const char *> &names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// The number of leading required parameters; a required one after an
// optional one is a broken table (SIZE_MAX).
size_t required_prefix(const Param *params, size_t count) {
  size_t required = 0;
  while (required < count && params[required].required) ++required;
  for (size_t i = required; i < count; ++i)
    if (params[i].required) return SIZE_MAX;
  return required;
}

// Fills `slots` from the positional and keyword arguments and checks that
// every required parameter was given.
bool bind_slots(const MethodName &method, const Param *params, size_t count, size_t required,
                PyObject *args, PyObject *kwargs, PyObject **slots) {
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  const auto n = static_cast<size_t>(given);
  if (n > count) {
    const char *verb = n == 1 ? "was" : "were";
    const std::string name = display_name(method);
    if (required != count)
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zu %s given", name.c_str(),
                   required, count, n, verb);
    else
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                   name.c_str(), count, n, verb);
    return false;
  }
  for (size_t i = 0; i < n; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    const std::string name = display_name(method);
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      size_t i = 0;
      if (PyUnicode_Check(key)) {
        while (i < count && PyUnicode_CompareWithASCIIString(key, params[i].name) != 0) ++i;
      } else {
        i = count;
      }
      if (i == count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", name.c_str(),
                     key);
        return false;
      }
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", name.c_str(),
                     params[i].name);
        return false;
      }
      slots[i] = value;
    }
  }

  std::vector<const char *> missing;
  for (size_t i = 0; i < required; ++i)
    if (slots[i] == nullptr) missing.push_back(params[i].name);
  if (!missing.empty()) {
    const std::string list = quoted_name_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 display_name(method).c_str(), missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
  }
  return true;
}

// A pending TypeError from converting parameter `name` gets the name in front.
bool prefix_type_error(const char *name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
        owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
  if (!text) {
    // The original message cannot be read: keep the original error.
    PyErr_Clear();
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return false;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  return false;
}

}  // namespace

bool bind_args(const MethodName &method, PyObject *args, PyObject *kwargs,
               std::initializer_list<Param> params) {
  const Param *table = params.begin();
  const size_t count = params.size();
  const size_t required = required_prefix(table, count);
  if (count > kMaxParams || required == SIZE_MAX) {
    raise_internal_fault("malformed parameter table for " + display_name(method));
    return false;
  }
  PyObject *slots[kMaxParams] = {};
  if (!bind_slots(method, table, count, required, args, kwargs, slots)) return false;
  for (size_t i = 0; i < count; ++i) {
    // An absent parameter keeps its default.
    if (slots[i] != nullptr && !table[i].convert(slots[i], table[i].dest))
      return prefix_type_error(table[i].name);
  }
  return true;
}

}  // namespace strandel
