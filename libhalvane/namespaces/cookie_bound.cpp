#include "namespaces/cookie_bound.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "namespaces/cookie_lines.h"

namespace hvcore {
namespace {

struct Registry {
  pid_t pid = 0;
  std::mutex mutex;
  std::unordered_map<CURLSH *, std::shared_ptr<CookieBound>> bounds;
  Registry *parent = nullptr;  // kept reachable, never freed
};

// A forked child starts a registry of its own: the parent's may be locked by
// a thread the child does not have.
Registry &registry() {
  static std::atomic<Registry *> current{nullptr};
  const pid_t pid = getpid();
  for (;;) {
    Registry *r = current.load(std::memory_order_acquire);
    if (r != nullptr && r->pid == pid) return *r;
    auto fresh = std::make_unique<Registry>();
    fresh->pid = pid;
    fresh->parent = r;
    if (current.compare_exchange_strong(r, fresh.get(), std::memory_order_acq_rel))
      return *fresh.release();
  }
}

}  // namespace

size_t CookieBound::apply(CURL *easy) try {
  std::lock_guard lock(mutex_);
  std::vector<CookieLine> jar = jar_cookies(easy);
  // Cookies new to the record get their places in the jar's order; those
  // gone from the jar leave it.
  std::unordered_map<std::string, uint64_t> seen;
  seen.reserve(jar.size());
  std::vector<std::pair<uint64_t, size_t>> by_age;  // (first seen, index in jar)
  by_age.reserve(jar.size());
  for (size_t i = 0; i < jar.size(); ++i) {
    std::string key = jar[i].key();
    const auto known = first_seen_.find(key);
    const uint64_t order = known != first_seen_.end() ? known->second : next_++;
    seen.insert_or_assign(std::move(key), order);
    by_age.emplace_back(order, i);
  }
  first_seen_ = std::move(seen);
  if (jar.size() <= per_site_ && jar.size() <= total_) return 0;

  std::sort(by_age.begin(), by_age.end());
  std::vector<bool> going(jar.size(), false);
  size_t gone = 0;
  if (jar.size() > per_site_) {
    std::vector<std::string> sites;
    sites.reserve(jar.size());
    std::unordered_map<std::string, size_t> counts;
    for (const CookieLine &c : jar) ++counts[sites.emplace_back(cookie_site(c.domain))];
    for (const auto &[order, i] : by_age) {
      size_t &count = counts[sites[i]];
      if (count <= per_site_) continue;
      going[i] = true;
      --count;
      ++gone;
    }
  }
  for (const auto &[order, i] : by_age) {
    if (jar.size() - gone <= total_) break;
    if (going[i]) continue;
    going[i] = true;
    ++gone;
  }
  // An expired line replaces the cookie, and libcurl then drops it.
  for (size_t i = 0; i < jar.size(); ++i) {
    if (!going[i]) continue;
    first_seen_.erase(jar[i].key());
    jar[i].expires = 1;
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, jar[i].netscape().c_str());
  }
  return gone;
} catch (...) {
  return 0;
}

// A namespace's share handle lives as long as the process, and so does its
// bound. Should a share's address come back for another jar, the record of
// the old one's cookies drops out at the first apply.
std::shared_ptr<CookieBound> shared_cookie_bound(CURLSH *share) {
  Registry &reg = registry();
  std::lock_guard lock(reg.mutex);
  std::shared_ptr<CookieBound> &bound = reg.bounds[share];
  if (!bound) bound = std::make_shared<CookieBound>();
  return bound;
}

}  // namespace hvcore
