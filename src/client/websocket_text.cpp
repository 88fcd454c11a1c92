#include "client/websocket_text.h"

namespace halvane::websocket_internal {

std::vector<uint8_t> copy_bytes(const uint8_t *data, uint32_t len) {
  if (len == 0) return {};
  return std::vector<uint8_t>(data, data + len);
}

}  // namespace halvane::websocket_internal
