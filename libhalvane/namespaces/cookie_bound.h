// A bound on a cookie jar, as browsers keep theirs: at most 180 cookies a
// site and 3,300 in all, the oldest going first. Without it a server grows
// the jar without end, and with it the work of every response that sets a
// cookie (a namespace's save walks the whole jar).
//
// Browsers let the least recently used cookie go. libcurl's jar tells
// neither when it last sent a cookie nor, through its public interface, when
// it made one, so the bound keeps its own record of when it first saw each
// cookie and lets the oldest go: a cookie set again keeps its age, as it
// keeps its creation time in libcurl's jar.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace hvcore {

class CookieBound {
 public:
  static constexpr size_t kPerSite = 180;
  static constexpr size_t kTotal = 3300;

  explicit CookieBound(size_t per_site = kPerSite, size_t total = kTotal)
      : per_site_(per_site), total_(total) {}

  // Brings the jar `easy` uses within the bound: the oldest cookies of each
  // site (cookie_site) over its share go, then the oldest of the jar over
  // the total. `easy` must not have taken a response's Set-Cookie fields
  // itself: past 50 libcurl refuses every line on it, the removing ones
  // too. Returns how many went. Any thread.
  size_t apply(CURL *easy);

 private:
  const size_t per_site_;
  const size_t total_;
  std::mutex mutex_;
  // Guarded by mutex_: the order in which each cookie of the jar (by
  // CookieLine::key) was first seen.
  uint64_t next_ = 0;
  std::unordered_map<std::string, uint64_t> first_seen_;
};

// The bound of a jar that engines share (a namespace's): one per share
// handle, kept for the life of the process as namespaces are.
std::shared_ptr<CookieBound> shared_cookie_bound(CURLSH *share);

}  // namespace hvcore
