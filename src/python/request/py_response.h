// PyResponse: the response head handed to Python.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "client/response.h"
#include "python/module/python.h"

namespace strandel {

struct PyResponseValue {
  std::vector<uint8_t> headers;  // raw header block as the Core delivered it
  std::vector<uint8_t> content;  // always empty: the body is read separately
  int32_t status_code = 0;
  std::optional<halvane::CacheState> cache_state;
};

// A new PyResponse for the head of `response` (its body stream is not kept).
PyObject *make_py_response(halvane::Response &&response);

// "network", "cache", "revalidated", or None where the Core does not say.
PyObject *cache_state_text(const std::optional<halvane::CacheState> &state);

}  // namespace strandel
