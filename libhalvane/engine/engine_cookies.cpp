// Reading and changing an engine's cookie jar from outside a transfer: the
// jar is libcurl's, in the share handle every transfer uses, so a change is
// seen by the next request at once.
#include <algorithm>

#include "base/curl_handles.h"
#include "base/http_text.h"
#include "engine/engine_context.h"
#include "namespaces/cookie_bound.h"
#include "namespaces/cookie_lines.h"
#include "namespaces/namespace_store.h"

namespace hvcore {
namespace {

// libcurl counts the cookies one easy handle takes and, past 50, takes no
// more: a long deletion goes through several handles.
constexpr size_t kLinesPerHandle = 40;

EasyPtr jar_handle(CURLSH *share) {
  EasyPtr easy(curl_easy_init());
  if (easy && curl_easy_setopt(easy.get(), CURLOPT_SHARE, share) != CURLE_OK) easy.reset();
  return easy;
}

}  // namespace

std::vector<CookieLine> EngineContext::list_cookies() {
  EasyPtr easy = jar_handle(share());
  if (!easy) return {};
  if (namespace_) namespace_->load_cookies(easy.get());
  return jar_cookies(easy.get());
}

bool EngineContext::set_cookie(const CookieLine &cookie) {
  EasyPtr easy = jar_handle(share());
  if (!easy) return false;
  if (namespace_) namespace_->load_cookies(easy.get());
  const std::string line = cookie.netscape();
  if (curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, line.c_str()) != CURLE_OK) return false;
  cookie_bound_->apply(easy.get());
  if (namespace_) namespace_->save_cookies(easy.get());
  return true;
}

size_t EngineContext::delete_cookies(const std::optional<std::string> &domain,
                                     const std::optional<std::string> &path,
                                     const std::optional<std::string> &name) {
  EasyPtr easy = jar_handle(share());
  if (!easy) return 0;
  if (namespace_) namespace_->load_cookies(easy.get());
  std::vector<CookieLine> doomed = jar_cookies(easy.get());
  std::erase_if(doomed, [&](const CookieLine &c) {
    return (domain && !iequals(c.domain, *domain)) || (path && c.path != *path) ||
           (name && c.name != *name);
  });
  size_t removed = 0;
  for (size_t i = 0; i < doomed.size(); ++i) {
    if (i > 0 && i % kLinesPerHandle == 0) {
      if (namespace_) namespace_->save_cookies(easy.get());
      easy = jar_handle(share());
      if (!easy) return removed;
    }
    // An expired line replaces the stored cookie, and libcurl drops it.
    CookieLine gone = doomed[i];
    gone.expires = 1;
    const std::string line = gone.netscape();
    if (curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, line.c_str()) == CURLE_OK) ++removed;
  }
  if (namespace_ && removed > 0) namespace_->save_cookies(easy.get());
  return removed;
}

}  // namespace hvcore
