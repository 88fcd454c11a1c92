#include "client/request_record.h"

namespace halvane {

Status build_request_record(const RequestConfig &config, const hv_request_callbacks &callbacks,
                            RequestCreateRecord &out) {
  if (!fits_u32(config.url.size()) || !fits_u32(config.method.size()) ||
      !fits_u32(config.headers.size()))
    return Error::Kind::InvalidArgument;
  const bool has_body = config.body == RequestBody::Bytes && !config.body_bytes.empty();
  if (has_body && !fits_u32(config.body_bytes.size())) return Error::Kind::InvalidArgument;

  out.headers.clear();
  out.headers.reserve(config.headers.size());
  for (const Header &header : config.headers) {
    if (!fits_u32(header.name.size()) || !fits_u32(header.value.size()))
      return Error::Kind::InvalidArgument;
    out.headers.push_back({bytes_of(header.name), static_cast<uint32_t>(header.name.size()),
                           bytes_of(header.value), static_cast<uint32_t>(header.value.size())});
  }

  hv_request_record &r = out.record;
  r = hv_request_record{};
  r.size = sizeof(hv_request_record);
  r.abi = HV_ABI_VERSION;
  r.url = bytes_of(config.url);
  r.url_len = static_cast<uint32_t>(config.url.size());
  r.method = bytes_of(config.method);
  r.method_len = static_cast<uint32_t>(config.method.size());
  r.headers = out.headers.empty() ? nullptr : out.headers.data();
  r.header_count = static_cast<uint32_t>(out.headers.size());
  r.timeout_ms = config.timeout ? config.timeout->whole_millis() : 0;
  r.callbacks = callbacks;
  r.body = has_body ? config.body_bytes.data() : nullptr;
  r.body_len = has_body ? static_cast<uint32_t>(config.body_bytes.size()) : 0;
  r.body_kind = static_cast<uint32_t>(config.body);
  r.cache_mode = static_cast<uint32_t>(config.cache_mode);
  r.redirect_mode = static_cast<uint32_t>(config.redirect_mode);
  r.priority = static_cast<uint32_t>(config.priority);
  return {};
}

}  // namespace halvane
