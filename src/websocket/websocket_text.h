// Copies of texts and bytes that the Core hands to the WebSocket callbacks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvane::websocket_internal {

// Decodes `len` bytes as UTF-8, replacing each invalid sequence (its maximal
// valid prefix, or one byte) with U+FFFD. A length of 0 never reads `data`.
std::string copy_string(const uint8_t *data, uint32_t len);

// A verbatim copy; a length of 0 never reads `data`.
std::vector<uint8_t> copy_bytes(const uint8_t *data, uint32_t len);

}  // namespace halvane::websocket_internal
