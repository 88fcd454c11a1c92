#include "client/websocket_record.h"

#include <cstring>

#include "client/record_fields.h"

namespace halvane {

namespace {

bool config_fits(const WebSocketConfig &config) {
  if (!fits_u32(config.url.size()) || !fits_u32(config.origin.size()) ||
      config.protocols.size() > kMaxProtocols || !fits_u32(config.headers.size()))
    return false;
  for (const std::string &protocol : config.protocols)
    if (!fits_u32(protocol.size())) return false;
  for (const Header &header : config.headers)
    if (!fits_u32(header.name.size()) || !fits_u32(header.value.size())) return false;
  return true;
}

}  // namespace

Status build_websocket_record(const WebSocketConfig &config,
                              const hv_websocket_callbacks &callbacks, WebSocketCreateRecord &out) {
  if (!config_fits(config)) return Error::Kind::InvalidArgument;

  out.protocols.clear();
  out.protocols.reserve(config.protocols.size());
  for (const std::string &protocol : config.protocols)
    out.protocols.push_back({bytes_of(protocol), static_cast<uint32_t>(protocol.size())});

  out.headers.clear();
  out.headers.reserve(config.headers.size());
  for (const Header &header : config.headers)
    out.headers.push_back({bytes_of(header.name), static_cast<uint32_t>(header.name.size()),
                           bytes_of(header.value), static_cast<uint32_t>(header.value.size())});

  hv_websocket_record &r = out.record;
  std::memset(&r, 0, sizeof r);
  r.size = sizeof(hv_websocket_record);
  r.abi = HV_ABI_VERSION;
  r.url = bytes_of(config.url);
  r.url_len = static_cast<uint32_t>(config.url.size());
  // No origin travels as (NULL, 0), as do empty lists.
  if (!config.origin.empty()) {
    r.origin = bytes_of(config.origin);
    r.origin_len = static_cast<uint32_t>(config.origin.size());
  }
  if (!out.protocols.empty()) {
    r.protocols = out.protocols.data();
    r.protocol_count = static_cast<uint32_t>(out.protocols.size());
  }
  if (!out.headers.empty()) {
    r.headers = out.headers.data();
    r.header_count = static_cast<uint32_t>(out.headers.size());
  }
  r.callbacks = callbacks;
  r.timeout_ms = config.timeout ? config.timeout->whole_millis() : 0;
  return {};
}

}  // namespace halvane
