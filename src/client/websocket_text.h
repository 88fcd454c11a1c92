// Copies of texts and bytes that the Core hands to the WebSocket callbacks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/utf8.h"

namespace halvane::websocket_internal {

// Lossy UTF-8, shared with the request layer.
using halvane::copy_string;

// A verbatim copy; a length of 0 never reads `data`.
std::vector<uint8_t> copy_bytes(const uint8_t *data, uint32_t len);

}  // namespace halvane::websocket_internal
