// Native values handed to Python (byte data as lists of ints or as bytes,
// texts as str) and byte data taken from Python without per-item work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/module/pyref.h"
#include "python/module/python.h"

namespace strandel {

// A list with one int (0 to 255) per byte.
PyObject *byte_list(const uint8_t *data, size_t len);
inline PyObject *byte_list(const std::vector<uint8_t> &v) { return byte_list(v.data(), v.size()); }
inline PyObject *byte_list(const std::string &s) {
  return byte_list(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// A bytes object: one copy, no per-byte objects.
PyObject *byte_string(const uint8_t *data, size_t len);
inline PyObject *byte_string(const std::vector<uint8_t> &v) {
  return byte_string(v.data(), v.size());
}
inline PyObject *byte_string(const std::string &s) {
  return byte_string(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// How byte data go to Python: the lists of the original surface, or bytes.
enum class ByteForm { List, Bytes };

template <typename Bytes>
PyObject *byte_value(ByteForm form, const Bytes &data) {
  return form == ByteForm::Bytes ? byte_string(data) : byte_list(data);
}

// A str from UTF-8, each invalid sequence replaced by U+FFFD.
PyObject *text(const std::string &utf8);

// Copies the contents of an exact bytes or bytearray object, or of a
// one-dimensional memoryview of unsigned bytes (format "B"), in one go.
// Nothing (no exception) for any other object, which the caller converts
// item by item; false with an exception pending on failure. The result equals
// what iterating the object gives.
std::optional<bool> copy_byte_buffer(PyObject *obj, std::vector<uint8_t> &out);

// Byte data read from Python for a call made without the interpreter lock:
// an immutable bytes object is used in place (kept alive here), anything else
// is copied once. Destroy with the interpreter lock held.
class ByteInput {
 public:
  std::span<const uint8_t> view() const {
    return owner_ ? borrowed_ : std::span<const uint8_t>(copy_);
  }

 private:
  friend bool to_byte_input(PyObject *obj, ByteInput &out);
  PyRef owner_;
  std::span<const uint8_t> borrowed_;
  std::vector<uint8_t> copy_;
};

// A parameter-table converter with the errors of to_bytes.
bool to_byte_input(PyObject *obj, ByteInput &out);

}  // namespace strandel
