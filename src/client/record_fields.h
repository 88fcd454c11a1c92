// Helpers for filling the Core's creation records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace halvane {

// True when a length can travel as the Core's u32; longer data is refused
// rather than truncated.
constexpr bool fits_u32(size_t len) { return len <= std::numeric_limits<uint32_t>::max(); }

// A text keeps its own pointer even when empty: std::string::data() is never
// NULL.
inline const uint8_t *bytes_of(const std::string &text) {
  return reinterpret_cast<const uint8_t *>(text.data());
}

}  // namespace halvane
