// Argument helpers of the methods that use the Core's extensions.
#pragma once

#include <cstdint>
#include <optional>

#include "client/core_extensions.h"
#include "python/module/python.h"

namespace strandel {

// None, or an int (any object with __index__); OverflowError past 64 bits.
bool to_optional_int64(PyObject *obj, std::optional<int64_t> &out);

// False, with NotImplementedError("this Core does not support <what>")
// pending, when the loaded Core lacks `extension`.
bool require_extension(halvane::Extension extension, const char *what);

// A new frozenset of the names of the extensions the loaded Core offers.
PyObject *core_extension_names();

}  // namespace strandel
