#include "module/args.h"

#include <algorithm>
#include <limits>

#include "module/errors.h"
#include "module/pyref.h"

namespace strandel {
namespace {

constexpr const char *kOutOfRange = "out of range integral type conversion attempted";

std::string display_name(const ParamSpec &spec) {
  return std::string(spec.class_name) + "." + spec.function_name + "()";
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

// TypeError "'{type}' object cannot be converted to '{target}'", where {type}
// is the qualified name of the object's type.
bool raise_cannot_convert(PyObject *obj, const char *target) {
  PyRef qualname = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(obj)), "__qualname__"));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", qualname.get(), target);
  return false;
}

// The interpreter's index conversion to a C long (whose own OverflowError
// stands for values beyond it), then a range check with the binding's own.
bool to_ranged_long(PyObject *obj, long min, long max, long &out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < min || value > max) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  out = value;
  return true;
}

// A sequence's reported length is only a hint (it may over-report without
// bound), so reservations from it stop here; the real items decide the rest.
constexpr size_t kMaxReservedItems = 1u << 16;

// Checks the sequence protocol, then calls `item(obj)` for each element in
// iteration order. The reported length only sizes `reserve`, within a cap.
template <typename Reserve, typename Item>
bool for_each_item(PyObject *obj, Reserve &&reserve, Item &&item) {
  if (!PySequence_Check(obj)) return raise_cannot_convert(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0)
    PyErr_Clear();
  else
    reserve(std::min(static_cast<size_t>(size), kMaxReservedItems));
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef element = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!item(element.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

ArgParser::ArgParser(const ParamSpec &spec, PyObject *args, PyObject *kwargs) : spec_(spec) {
  if (spec.count > kMaxParams) {
    raise_internal_fault("too many parameters for " + display_name(spec));
    return;
  }
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return;
  const auto n = static_cast<size_t>(given);
  if (n > spec.count) {
    const char *verb = n == 1 ? "was" : "were";
    const std::string name = display_name(spec);
    if (spec.required != spec.count)
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zu %s given", name.c_str(),
                   spec.required, spec.count, n, verb);
    else
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                   name.c_str(), spec.count, n, verb);
    return;
  }
  for (size_t i = 0; i < n; ++i) slots_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    const std::string name = display_name(spec);
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      size_t i = 0;
      if (PyUnicode_Check(key)) {
        while (i < spec.count && PyUnicode_CompareWithASCIIString(key, spec.names[i]) != 0) ++i;
      } else {
        i = spec.count;
      }
      if (i == spec.count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", name.c_str(),
                     key);
        return;
      }
      if (slots_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", name.c_str(),
                     spec.names[i]);
        return;
      }
      slots_[i] = value;
    }
  }

  std::vector<const char *> missing;
  for (size_t i = 0; i < spec.required; ++i)
    if (slots_[i] == nullptr) missing.push_back(spec.names[i]);
  if (!missing.empty()) {
    const std::string list = quoted_name_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 display_name(spec).c_str(), missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return;
  }
  ok_ = true;
}

bool ArgParser::prefix_type_error(size_t i, bool converted) {
  if (converted) return true;
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
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", spec_.names[i], text.get());
  return false;
}

bool to_text(PyObject *obj, std::string &out) {
  if (!PyUnicode_Check(obj)) return raise_cannot_convert(obj, "PyString");
  PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(obj));  // strict: surrogates fail
  if (!utf8) return false;
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool to_optional_text(PyObject *obj, std::optional<std::string> &out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!to_text(obj, text)) return false;
  out = std::move(text);
  return true;
}

bool to_flag(PyObject *obj, bool &out) {
  if (!PyBool_Check(obj)) return raise_cannot_convert(obj, "PyBool");
  out = obj == Py_True;
  return true;
}

bool to_optional_real(PyObject *obj, std::optional<double> &out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_bytes(PyObject *obj, std::vector<uint8_t> &out) {
  std::vector<uint8_t> bytes;
  // Exact bytes objects hold their items already: copy them in one go.
  if (PyBytes_CheckExact(obj)) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    bytes.assign(data, data + size);
  } else {
    const bool ok = for_each_item(
        obj, [&](size_t n) { bytes.reserve(n); },
        [&](PyObject *item) {
          long value = 0;
          if (!to_ranged_long(item, 0, 255, value)) return false;
          bytes.push_back(static_cast<uint8_t>(value));
          return true;
        });
    if (!ok) return false;
  }
  out = std::move(bytes);
  return true;
}

bool to_optional_bytes(PyObject *obj, std::optional<std::vector<uint8_t>> &out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::vector<uint8_t> bytes;
  if (!to_bytes(obj, bytes)) return false;
  out = std::move(bytes);
  return true;
}

bool to_optional_headers(PyObject *obj, std::optional<std::vector<halvane::Header>> &out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::vector<halvane::Header> headers;
  const bool ok = for_each_item(
      obj, [&](size_t n) { headers.reserve(n); },
      [&](PyObject *item) {
        if (!PyTuple_Check(item)) return raise_cannot_convert(item, "PyTuple");
        const Py_ssize_t size = PyTuple_Size(item);
        if (size != 2) {
          PyErr_Format(PyExc_ValueError, "Expected tuple of length 2, but got tuple of length %zd.",
                       size);
          return false;
        }
        halvane::Header header;
        if (!to_text(PyTuple_GetItem(item, 0), header.name) ||
            !to_text(PyTuple_GetItem(item, 1), header.value))
          return false;
        headers.push_back(std::move(header));
        return true;
      });
  if (!ok) return false;
  out = std::move(headers);
  return true;
}

bool to_u16(PyObject *obj, uint16_t &out) {
  long value = 0;
  if (!to_ranged_long(obj, 0, 65535, value)) return false;
  out = static_cast<uint16_t>(value);
  return true;
}

bool to_u64(PyObject *obj, uint64_t &out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_object(PyObject *obj, PyObject *&out) {
  out = obj;
  return true;
}

bool to_duration(std::optional<double> seconds, std::optional<halvane::Duration> &out) {
  if (!seconds) {
    out.reset();
    return true;
  }
  const double value = *seconds;
  if (!(value >= 0) || value == std::numeric_limits<double>::infinity()) {
    raise_message("timeout must be a finite non-negative number");
    return false;
  }
  auto duration = halvane::Duration::from_seconds(value);
  if (!duration) {
    PyErr_SetString(PyExc_OverflowError, "timeout is too large (2^64 seconds or more)");
    return false;
  }
  out = *duration;
  return true;
}

bool to_poll_limit(PyObject *obj, uint64_t &out) {
  constexpr uint64_t kDefault = 64;
  if (obj == Py_None) {
    out = kDefault;
    return true;
  }
  uint64_t limit = 0;
  if (!to_u64(obj, limit)) return false;
  if (limit > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = limit == 0 ? 1 : limit;
  return true;
}

}  // namespace strandel
