#include "python/module/convert.h"

#include <algorithm>
#include <limits>

#include "python/module/errors.h"
#include "python/module/pyref.h"
#include "python/module/pyvalues.h"

namespace strandel {
namespace {

constexpr const char *kOutOfRange = "out of range integral type conversion attempted";

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
  // Objects that hold their items as bytes already are copied in one go.
  if (auto copied = copy_byte_buffer(obj, bytes)) {
    if (!*copied) return false;
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

bool to_optional_text_list(PyObject *obj, size_t max_items,
                           std::optional<std::vector<std::string>> &out) {
  if (obj == Py_None) return true;
  if (!PySequence_Check(obj)) return raise_cannot_convert(obj, "Sequence");
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  std::vector<std::string> items;
  while (items.size() <= max_items) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) break;
    std::string text;
    if (!to_text(item.get(), text)) return false;
    items.push_back(std::move(text));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(items);
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
