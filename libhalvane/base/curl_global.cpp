#include <mutex>

#include "base/curl_handles.h"

namespace hvcore {

void ensure_curl_global() {
  // Never undone: other threads of the process may still be using libcurl
  // when it exits.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool curl_speaks_http3() {
  static const bool speaks = [] {
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && (info->features & CURL_VERSION_HTTP3) != 0;
  }();
  return speaks;
}

}  // namespace hvcore
