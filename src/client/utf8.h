// Lossy UTF-8 copy of text the Core hands over.
#pragma once

#include <cstdint>
#include <string>

namespace halvane {

// Copies `len` bytes as UTF-8, replacing each invalid sequence (each maximal
// ill-formed subpart) with U+FFFD. With `len` 0 the pointer is not read.
std::string copy_string(const uint8_t *data, uint32_t len);

}  // namespace halvane
