// The configuration of a WebSocket and the C record through which it is
// created in the Core.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "client/duration.h"
#include "client/request_config.h"
#include "client/result.h"
#include "halvane/hv_abi.h"

namespace halvane {

// More sub-protocols than this are refused (InvalidArgument): no handshake
// head the Core accepts could carry them.
inline constexpr size_t kMaxProtocols = 1024;

struct WebSocketConfig {
  std::optional<Duration> timeout;  // whole milliseconds for the Core; none is 0
  std::string url;
  std::string origin;  // empty means no origin
  std::vector<std::string> protocols;
  std::vector<Header> headers;  // passed in order, without checks
  // The most one received message may hold; none: the Core's default. Needs
  // the Core's "max_message_size" extension (core_extensions.h).
  std::optional<uint32_t> max_message_size;

  static WebSocketConfig create(std::string url, std::string origin) {
    WebSocketConfig config;
    config.url = std::move(url);
    config.origin = std::move(origin);
    return config;
  }
};

// The filled record and the arrays it points into. Pointers refer into the
// configuration it was built from, which must outlive the create call.
struct WebSocketCreateRecord {
  hv_websocket_record record{};
  std::vector<hv_protocol> protocols;
  std::vector<hv_header> headers;

  WebSocketCreateRecord() = default;
  // The record points into the arrays: keep them in place.
  WebSocketCreateRecord(const WebSocketCreateRecord &) = delete;
  WebSocketCreateRecord &operator=(const WebSocketCreateRecord &) = delete;
};

// Fills `out` from `config` with `callbacks` embedded. InvalidArgument when a
// text or list is too long for the Core's u32 lengths, or when there are more
// than kMaxProtocols sub-protocols.
Status build_websocket_record(const WebSocketConfig &config,
                              const hv_websocket_callbacks &callbacks, WebSocketCreateRecord &out);

}  // namespace halvane
