#include "client/core_extensions.h"

#include <dlfcn.h>

namespace halvane {
namespace {

// The version node every hv_* symbol of the Core carries.
constexpr char kCoreVersionNode[] = "HALVANE_2";

template <typename Fn>
void find(void *library, const char *name, Fn &out) {
  void *symbol = dlvsym(library, name, kCoreVersionNode);
  // A Core built without symbol versions still names its entries.
  if (symbol == nullptr) symbol = dlsym(library, name);
  out = reinterpret_cast<Fn>(symbol);
}

}  // namespace

bool CoreExtensions::has(Extension extension) const {
  switch (extension) {
    case Extension::ConnectTimeout:
      return request_create != nullptr;
    case Extension::Cookies:
      return cookies_list != nullptr && cookie_set != nullptr && cookies_delete != nullptr;
    case Extension::CacheState:
      return request_cache_state != nullptr;
    case Extension::WebSocketPing:
      return websocket_ping != nullptr;
    case Extension::MaxMessageSize:
      return websocket_create != nullptr;
  }
  return false;
}

CoreExtensions find_extensions(void *library) {
  CoreExtensions found;
  if (library == nullptr) return found;
  find(library, "hv_ext_request_create", found.request_create);
  find(library, "hv_ext_request_cache_state", found.request_cache_state);
  find(library, "hv_ext_cookies_list", found.cookies_list);
  find(library, "hv_ext_cookie_set", found.cookie_set);
  find(library, "hv_ext_cookies_delete", found.cookies_delete);
  find(library, "hv_ext_websocket_create", found.websocket_create);
  find(library, "hv_ext_websocket_ping", found.websocket_ping);
  return found;
}

const CoreExtensions &core_extensions() {
  static const CoreExtensions found = [] {
    // The Core is whichever library resolved hv_abi_version for this one; it
    // is already loaded, and stays so for the life of the process, so the
    // handle taken here is never closed.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&hv_abi_version), &info) == 0 || info.dli_fname == nullptr)
      return CoreExtensions{};
    void *library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    return find_extensions(library);
  }();
  return found;
}

}  // namespace halvane
