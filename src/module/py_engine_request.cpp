// PyEngine.request(...): options into a RequestConfig, a new PyRequest.
#include "core/request.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/py_engine.h"
#include "module/types.h"
#include "request/py_request.h"

namespace strandel {
namespace {

constexpr const char *kParams[] = {
    "method",          "url",      "headers", "body",     "timeout",
    "allow_redirects", "redirect", "cache",   "priority", "chunked",
};
constexpr ParamSpec kSpec{"PyEngine", "request", kParams, 10, 2};

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
    std::optional<double> timeout;
    bool allow_redirects = true, chunked = false;
    std::optional<std::string> redirect, cache, priority;

    ArgParser p(kSpec, args, kwargs);
    if (!p.ok() || !p.get(0, method, to_text) || !p.get(1, url, to_text) ||
        !p.get(2, headers, to_optional_headers) || !p.get(3, body, to_optional_bytes) ||
        !p.get(4, timeout, to_optional_real) || !p.get(5, allow_redirects, to_flag) ||
        !p.get(6, redirect, to_optional_text) || !p.get(7, cache, to_optional_text) ||
        !p.get(8, priority, to_optional_text) || !p.get(9, chunked, to_flag))
      return nullptr;

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
    if (chunked) {
      config.body = halvane::RequestBody::Streamed;
    } else if (body) {
      config.body = halvane::RequestBody::Bytes;
      config.body_bytes = std::move(*body);
    }

    auto request = NativeObject<PyEngineValue>::of(self).engine.request(std::move(config));
    if (!request) return raise_error(request.error());
    return make_py_request(std::move(request).value());
  });
}

}  // namespace strandel
