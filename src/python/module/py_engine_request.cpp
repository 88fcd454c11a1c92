// PyEngine.request(...): options into a RequestConfig, a new PyRequest.
#include <cmath>

#include "client/request.h"
#include "client/upload_length.h"
#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/extension_args.h"
#include "python/module/py_engine.h"
#include "python/module/types.h"
#include "python/request/py_request.h"

namespace strandel {
namespace {

template <typename E>
struct Name {
  const char *text;
  E value;
};

constexpr Name<halvane::RedirectMode> kRedirectModes[] = {
    {"follow", halvane::RedirectMode::Follow},
    {"manual", halvane::RedirectMode::Manual},
    {"error", halvane::RedirectMode::Error},
};
constexpr Name<halvane::CacheMode> kCacheModes[] = {
    {"default", halvane::CacheMode::Default}, {"validate", halvane::CacheMode::Validate},
    {"bypass", halvane::CacheMode::Bypass},   {"no_store", halvane::CacheMode::NoStore},
    {"force", halvane::CacheMode::Force},     {"only_if_cached", halvane::CacheMode::OnlyIfCached},
};
constexpr Name<halvane::Priority> kPriorities[] = {
    {"default", halvane::Priority::Default}, {"highest", halvane::Priority::Highest},
    {"medium", halvane::Priority::Medium},   {"low", halvane::Priority::Low},
    {"lowest", halvane::Priority::Lowest},   {"idle", halvane::Priority::Idle},
};

// Looks `given` up in `table` (exact, case-sensitive); an unknown name
// raises RuntimeError "<what> <quoted name>".
template <typename E, size_t N>
bool lookup(const Name<E> (&table)[N], const std::optional<std::string> &given, E &out,
            const char *what) {
  if (!given) return true;
  for (const auto &entry : table) {
    if (*given == entry.text) {
      out = entry.value;
      return true;
    }
  }
  raise_message(std::string(what) + " " + quoted(*given));
  return false;
}

}  // namespace

PyObject *engine_request(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    std::string method, url;
    std::optional<std::vector<halvane::Header>> headers;
    std::optional<std::vector<uint8_t>> body;
    std::optional<double> timeout, connect_timeout;
    bool allow_redirects{}, chunked{};
    std::optional<std::string> redirect, cache, priority;
    if (!bind_args({"PyEngine", "request"}, args, kwargs,
                   {
                       param<to_text>("method", method),
                       param<to_text>("url", url),
                       param<to_optional_headers>("headers", headers, std::nullopt),
                       param<to_optional_bytes>("body", body, std::nullopt),
                       param<to_optional_real>("timeout", timeout, std::nullopt),
                       param<to_flag>("allow_redirects", allow_redirects, true),
                       param<to_optional_text>("redirect", redirect, std::nullopt),
                       param<to_optional_text>("cache", cache, std::nullopt),
                       param<to_optional_text>("priority", priority, std::nullopt),
                       param<to_flag>("chunked", chunked, false),
                       param<to_optional_real>("connect_timeout", connect_timeout, std::nullopt),
                   }))
      return nullptr;
    if (connect_timeout) {
      if (!require_extension(halvane::Extension::ConnectTimeout, "connect timeouts"))
        return nullptr;
      if (!std::isfinite(*connect_timeout) || *connect_timeout < 0) {
        PyErr_SetString(PyExc_ValueError, "connect_timeout must be a finite non-negative number");
        return nullptr;
      }
    }

    halvane::RequestConfig config = halvane::RequestConfig::get(std::move(url));
    config.method = std::move(method);
    if (!to_duration(timeout, config.timeout)) return nullptr;
    config.redirect_mode =
        allow_redirects ? halvane::RedirectMode::Follow : halvane::RedirectMode::Manual;
    if (!lookup(kRedirectModes, redirect, config.redirect_mode, "unknown redirect mode") ||
        !lookup(kCacheModes, cache, config.cache_mode, "unknown cache mode") ||
        !lookup(kPriorities, priority, config.priority, "unknown priority"))
      return nullptr;
    if (headers) config.headers = std::move(*headers);
    if (connect_timeout) {
      config.connect_timeout = halvane::Duration::from_seconds(*connect_timeout);
      if (!config.connect_timeout) {
        PyErr_SetString(PyExc_OverflowError, "connect_timeout is too large (2^64 seconds or more)");
        return nullptr;
      }
    }
    if (chunked) {
      config.body = halvane::RequestBody::Streamed;
    } else if (body) {
      config.body = halvane::RequestBody::Bytes;
      config.body_bytes = std::move(*body);
    }

    // A streamed body with a Content-Length goes out sized, and is held to it.
    std::optional<uint64_t> upload_length;
    if (config.body == halvane::RequestBody::Streamed)
      upload_length = halvane::declared_length(config.headers);
    auto request = NativeObject<PyEngineValue>::of(self).engine.request(std::move(config));
    if (!request) return raise_error(request.error());
    return make_py_request(std::move(request).value(), upload_length);
  });
}

}  // namespace strandel
