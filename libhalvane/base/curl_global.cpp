#include <mutex>

#include "base/curl_handles.h"

namespace hvcore {

void ensure_curl_global() {
  // Never undone: other threads of the process may still be using libcurl
  // when it exits.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace hvcore
