// PyResponse: the response head handed to Python.
#pragma once

#include <cstdint>
#include <vector>

#include "client/response.h"
#include "python/module/python.h"

namespace strandel {

struct PyResponseValue {
  std::vector<uint8_t> headers;  // raw header block as the Core delivered it
  std::vector<uint8_t> content;  // always empty: the body is read separately
  int32_t status_code = 0;
};

// A new PyResponse for the head of `response` (its body stream is not kept).
PyObject *make_py_response(halvane::Response &&response);

}  // namespace strandel
