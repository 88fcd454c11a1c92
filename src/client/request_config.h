// What a request is made from: URL, method, headers, body and options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/duration.h"
#include "halvane/hv_abi.h"

namespace halvane {

struct Header {
  std::string name;
  std::string value;
};

using RequestBody = hv::BodyKind;
using hv::CacheMode;
using hv::Priority;
using hv::RedirectMode;

struct RequestConfig {
  std::string url;
  std::string method = "GET";
  std::vector<Header> headers;
  std::optional<Duration> timeout;
  RequestBody body = RequestBody::None;
  std::vector<uint8_t> body_bytes;  // sent only when `body` is Bytes
  RedirectMode redirect_mode = RedirectMode::Follow;
  CacheMode cache_mode = CacheMode::Default;
  Priority priority = Priority::Default;
  // Bounds establishing the connection alone; needs the Core's
  // "connect_timeout" extension (core_extensions.h).
  std::optional<Duration> connect_timeout;

  // The defaults for `url`: GET, no headers, no timeout, no body.
  static RequestConfig get(std::string url) {
    RequestConfig config;
    config.url = std::move(url);
    return config;
  }
};

}  // namespace halvane
