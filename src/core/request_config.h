// What a request is made from: URL, method, headers, body and options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/duration.h"

namespace halvane {

struct Header {
  std::string name;
  std::string value;
};

enum class RequestBody : uint32_t { None = 0, Bytes = 1, Streamed = 2 };
enum class RedirectMode : uint32_t { Follow = 0, Manual = 1, Error = 2 };
enum class CacheMode : uint32_t {
  Default = 0,
  Validate = 1,
  Bypass = 2,
  NoStore = 3,
  Force = 4,
  OnlyIfCached = 5
};
enum class Priority : uint32_t {
  Default = 0,
  Highest = 1,
  Medium = 2,
  Low = 3,
  Lowest = 4,
  Idle = 5
};

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

  // The defaults for `url`: GET, no headers, no timeout, no body.
  static RequestConfig get(std::string url) {
    RequestConfig config;
    config.url = std::move(url);
    return config;
  }
};

}  // namespace halvane
