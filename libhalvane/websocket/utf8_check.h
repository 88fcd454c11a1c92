// Strict UTF-8 validation for what the Core puts on the wire as text: text
// messages and close reasons, which a peer must reject when malformed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hvcore {

// True when the bytes are well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(const uint8_t *data, size_t len);

}  // namespace hvcore
