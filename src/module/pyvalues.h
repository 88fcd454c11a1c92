// Native values handed to Python: byte data as lists of ints, texts as str.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "module/python.h"

namespace strandel {

// A list with one int (0 to 255) per byte.
PyObject *byte_list(const uint8_t *data, size_t len);
inline PyObject *byte_list(const std::vector<uint8_t> &v) { return byte_list(v.data(), v.size()); }
inline PyObject *byte_list(const std::string &s) {
  return byte_list(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// A str from UTF-8, each invalid sequence replaced by U+FFFD.
PyObject *text(const std::string &utf8);

}  // namespace strandel
