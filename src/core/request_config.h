// What a request is made from: URL, method, headers, body and options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/duration.h"
#include "core/hv_abi.h"

namespace halvane {

struct Header {
  std::string name;
  std::string value;
};

enum class RequestBody : uint32_t {
  None = HV_BODY_NONE,
  Bytes = HV_BODY_BYTES,
  Streamed = HV_BODY_STREAMED
};
enum class RedirectMode : uint32_t {
  Follow = HV_REDIRECT_FOLLOW,
  Manual = HV_REDIRECT_MANUAL,
  Error = HV_REDIRECT_ERROR
};
enum class CacheMode : uint32_t {
  Default = HV_CACHE_DEFAULT,
  Validate = HV_CACHE_VALIDATE,
  Bypass = HV_CACHE_BYPASS,
  NoStore = HV_CACHE_NO_STORE,
  Force = HV_CACHE_FORCE,
  OnlyIfCached = HV_CACHE_ONLY_IF_CACHED
};
enum class Priority : uint32_t {
  Default = HV_PRIORITY_DEFAULT,
  Highest = HV_PRIORITY_HIGHEST,
  Medium = HV_PRIORITY_MEDIUM,
  Low = HV_PRIORITY_LOW,
  Lowest = HV_PRIORITY_LOWEST,
  Idle = HV_PRIORITY_IDLE
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
