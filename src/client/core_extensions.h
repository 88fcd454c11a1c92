// The extensions of our own Core (hv_ext_* in hv_abi.h): optional entries,
// found by name in the Core the module is bound to, never linked against, so
// that the module loads and works on a Core without them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "halvane/hv_abi.h"

namespace halvane {

enum class Extension : uint8_t {
  ConnectTimeout,
  Cookies,
  CacheState,
  WebSocketPing,
  MaxMessageSize
};

struct ExtensionName {
  Extension extension;
  const char *name;
};

// The names callers see, one per extension.
inline constexpr std::array<ExtensionName, 5> kExtensionNames{{
    {Extension::ConnectTimeout, "connect_timeout"},
    {Extension::Cookies, "cookies"},
    {Extension::CacheState, "cache_state"},
    {Extension::WebSocketPing, "websocket_ping"},
    {Extension::MaxMessageSize, "max_message_size"},
}};

struct CoreExtensions {
  decltype(&hv_ext_request_create) request_create = nullptr;
  decltype(&hv_ext_request_cache_state) request_cache_state = nullptr;
  decltype(&hv_ext_cookies_list) cookies_list = nullptr;
  decltype(&hv_ext_cookie_set) cookie_set = nullptr;
  decltype(&hv_ext_cookies_delete) cookies_delete = nullptr;
  decltype(&hv_ext_websocket_create) websocket_create = nullptr;
  decltype(&hv_ext_websocket_ping) websocket_ping = nullptr;

  // An extension is there when every entry it needs is.
  bool has(Extension extension) const;
};

// The entries the library `library` (a dlopen handle) exports, at the Core's
// symbol version; the missing ones stay null.
CoreExtensions find_extensions(void *library);

// The extensions of the Core this process is bound to: the library that
// defines hv_abi_version. Looked up once, on the first call (module load).
const CoreExtensions &core_extensions();

}  // namespace halvane
