#include "client/websocket_event.h"

#include <limits>

#include "halvane/hv_abi.h"

namespace halvane {

namespace {

uint32_t clamp_u32(uint64_t n) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(n > kMax ? kMax : n);
}

struct SizeOf {
  uint32_t operator()(const WebSocketEvent::Open &e) const {
    return clamp_u32(uint64_t{e.protocol.size()} + uint64_t{e.extensions.size()});
  }
  uint32_t operator()(const WebSocketEvent::Message &e) const { return clamp_u32(e.data.size()); }
  uint32_t operator()(const WebSocketEvent::Closing &) const { return 0; }
  uint32_t operator()(const WebSocketEvent::Closed &e) const { return clamp_u32(e.reason.size()); }
  uint32_t operator()(const WebSocketFailure &e) const { return clamp_u32(e.message.size()); }
};

}  // namespace

MessageKind message_kind(int32_t core_type) {
  switch (core_type) {
    case HV_MESSAGE_TEXT:
      return MessageKind::Text;
    case HV_MESSAGE_BINARY:
      return MessageKind::Binary;
    default:
      return MessageKind::Other;
  }
}

std::string WebSocketFailure::display() const {
  return error.display() + " (Chromium net error " + std::to_string(net_error) + ", response " +
         std::to_string(response_code) + ")";
}

uint32_t WebSocketEvent::size() const { return std::visit(SizeOf{}, value); }

bool WebSocketEvent::is_terminal() const {
  return std::holds_alternative<Closed>(value) || std::holds_alternative<Failure>(value);
}

}  // namespace halvane
