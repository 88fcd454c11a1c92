// The HTTP cache's part of a request: looking a hop up before it goes out,
// revalidating a stored response, storing what comes back while it streams,
// and delivering a stored response through the same callbacks and flow
// control as one from the network.
#include <ctime>

#include "base/url.h"
#include "cache/cache_policy.h"
#include "namespaces/cookie_lines.h"
#include "namespaces/namespace_store.h"
#include "transfer/redirects.h"
#include "transfer/transfer.h"

namespace hvcore {
namespace {

// Stored bodies go to the caller in pieces of this size, and at most this
// many bytes a turn, so that other requests on the thread are not starved.
constexpr size_t kReplayPiece = 64 * 1024;
constexpr size_t kReplayTurn = 1024 * 1024;

// Where a hop's response is stored; nothing when the hop keeps out of the
// cache. A caller's Host naming another authority than the URL's asks the
// URL's server for another name's answer. Stored under the URL, that answer
// would reach plain requests for the URL; stored under both names, it would
// sit where no plain request finds it and no unsafe request to either name
// removes it. Such requests are rare (a virtual host tried through an
// address), so they go without the cache.
std::optional<std::string> storage_key(const std::string &url,
                                       const std::vector<HeaderField> &headers) {
  for (const HeaderField &h : headers)
    if (iequals(h.name, "host") && !names_authority(url, h.value)) return std::nullopt;
  return cache_key(url);
}

// The fields as Vary compares them: as sent, with the one Cookie line
// libcurl writes, the jar's cookies first, then the caller's, joined as
// build_header_list joins them.
std::vector<HeaderField> with_sent_cookies(std::vector<HeaderField> fields,
                                           const std::string &jar) {
  std::string caller;
  for (const HeaderField &h : fields) {
    if (!iequals(h.name, "cookie")) continue;
    if (!caller.empty()) caller += "; ";
    caller += h.value;
  }
  std::erase_if(fields, [](const HeaderField &h) { return iequals(h.name, "cookie"); });
  std::string line = jar;
  if (!line.empty() && !caller.empty()) line += "; ";
  line += caller;
  if (!line.empty()) fields.push_back({"Cookie", std::move(line)});
  return fields;
}

}  // namespace

// Decides what this hop does with the cache before anything is sent. True
// when the hop was handled without the network: delivered from the cache,
// replayed as a stored redirect, or ended as a cache miss.
bool Transfer::consult_cache() {
  stored_.reset();
  validated_ = false;
  writer_.reset();
  jar_cookies_.clear();
  request_time_ = now_seconds();
  cache::Store *store = context_->cache();
  cache_key_ = store ? storage_key(hop_.url, hop_.headers) : std::nullopt;
  CacheMode mode = request_.cache_mode;
  // Never the network, whether or not there is a cache to answer from.
  const bool only_cached =
      mode == CacheMode::OnlyIfCached ||
      (mode == CacheMode::Default && cache::request_directives(hop_.headers).only_if_cached);
  if (cache::bypasses_cache(hop_.headers)) mode = CacheMode::NoStore;
  if (cache_key_ && hop_.method == "GET" && request_.cache_mode != CacheMode::NoStore) {
    // Taken before the hop goes out: its response's Set-Cookie changes the
    // jar before the response is stored.
    curl_easy_setopt(easy_.get(), CURLOPT_SHARE, context_->share());
    // Loopback hosts count as secure origins there, as they do for libcurl.
    jar_cookies_ = cookie_header_for(easy_.get(), hop_.url);
  }
  std::optional<cache::Entry> entry;
  if (cache_key_ && hop_.method == "GET" && mode != CacheMode::NoStore && mode != CacheMode::Bypass)
    entry = store->lookup(*cache_key_);
  if (entry && cache::vary_matches(entry->meta, with_sent_cookies(sent_headers(), jar_cookies_))) {
    switch (cache::decide(mode, entry->meta, hop_.headers, request_time_)) {
      case cache::Action::Use:
        replay(std::move(*entry));
        return true;
      case cache::Action::Revalidate:
        if (only_cached) break;  // the origin may not be asked
        stored_ = std::move(entry);
        return false;
      case cache::Action::Network:
        break;
    }
  }
  // Nothing stored that this request may use.
  if (!only_cached) return false;
  complete({kCacheMiss, net::kCacheMiss});
  return true;
}

// A hop's final head has arrived. True when the cache takes it instead of
// the caller: the origin confirmed the stored response with a 304.
bool Transfer::cache_takes_head(int status) {
  cache::Store *store = context_->cache();
  if (!store || !cache_key_) return false;
  if (stored_ && status == 304) {
    validated_ = true;
    return true;
  }
  const bool may_store =
      request_.cache_mode != CacheMode::NoStore && !cache::bypasses_cache(hop_.headers);
  if (hop_.method == "HEAD") {
    // A HEAD response freshens the stored GET response it agrees with, if
    // that is still the one stored when the update lands.
    if (status == 200 && may_store && cache::may_update(hop_.headers, head_.block())) {
      if (auto entry = store->lookup(*cache_key_);
          entry && cache::head_may_freshen(entry->meta.head, head_.block())) {
        entry->meta.head = cache::freshen_head(entry->meta.head, head_.block());
        entry->meta.request_time = request_time_;
        entry->meta.response_time = now_seconds();
        store->update(*cache_key_, entry->id, entry->meta);
      }
    }
    return false;
  }
  // Redirects are stored when their hop ends (cache_on_redirect).
  if (is_redirect_status(status) && find_header(head_.block(), "location")) return false;
  if (!may_store || !cache::is_storable(hop_.method, hop_.headers, head_.block())) return false;
  cache::StoredMeta meta;
  meta.status = status;
  meta.head = head_.block();
  meta.request_time = request_time_;
  meta.response_time = now_seconds();
  meta.vary = cache::vary_headers(head_.block(), with_sent_cookies(sent_headers(), jar_cookies_));
  writer_ = store->begin(*cache_key_, std::move(meta));
  return false;
}

void Transfer::cache_on_redirect(const PendingRedirect &redirect) {
  writer_.reset();
  cache::Store *store = context_->cache();
  if (!store) return;
  // A successful unsafe request that redirects still changed its target.
  if (cache::invalidates(hop_.method, redirect.status))
    for (const std::string &url : cache::invalidated_urls(hop_.url, redirect.head))
      store->remove(url);
  if (!cache_key_ || request_.cache_mode == CacheMode::NoStore ||
      !cache::is_storable(hop_.method, hop_.headers, redirect.head))
    return;
  cache::StoredMeta meta;
  meta.status = redirect.status;
  meta.head = redirect.head;
  meta.request_time = request_time_;
  meta.response_time = now_seconds();
  meta.vary = cache::vary_headers(redirect.head, with_sent_cookies(sent_headers(), jar_cookies_));
  if (auto writer = store->begin(*cache_key_, std::move(meta))) writer->commit();
}

// The hop that revalidated a stored response has ended. True when it was
// confirmed and the stored response is now on its way to the caller.
bool Transfer::finish_revalidation(CURLcode result) {
  if (!validated_) return false;
  validated_ = false;
  if (result != CURLE_OK) return false;
  cache::Entry entry = std::move(*stored_);
  stored_.reset();
  entry.meta.head = cache::freshen_head(entry.meta.head, head_.block());
  entry.meta.request_time = request_time_;
  entry.meta.response_time = now_seconds();
  // The 304 renews the response whose validators were sent, and only while
  // it is still the one stored: a newer response stored meanwhile stays as
  // it is. Either way this request gets the response the origin confirmed.
  // Only a hop that looked the cache up revalidates, so the store and key
  // are there.
  if (cache::may_update(hop_.headers, head_.block()))
    context_->cache()->update(*cache_key_, entry.id, entry.meta);
  replay(std::move(entry));
  return true;
}

void Transfer::replay(cache::Entry entry) {
  const cache::Seconds age = cache::current_age(entry.meta, now_seconds());
  std::string head = cache::with_age(entry.meta.head, age);
  if (is_redirect_status(entry.meta.status)) {
    if (auto location = find_header(head, "location")) {
      redirect_ = PendingRedirect{entry.meta.status, std::move(head), std::move(*location), true};
      handle_redirect();
      return;
    }
  }
  head_delivered_ = true;
  replaying_ = true;
  replay_ = std::move(entry.body);
  replay_offset_ = 0;
  replay_size_ = replay_ ? entry.body_size : 0;
  if (callbacks_.on_response)
    callbacks_.on_response(callbacks_.user, handle_, entry.meta.status,
                           reinterpret_cast<const uint8_t *>(head.data()),
                           static_cast<uint32_t>(head.size()));
  continue_replay();
}

void Transfer::continue_replay() {
  size_t turn = 0;
  std::string piece;
  while (!done_ && !recv_paused_ && replay_offset_ < replay_size_) {
    if (turn >= kReplayTurn) {
      context_->post([self = shared_from_this()] { self->continue_replay(); });
      return;
    }
    piece.clear();
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(kReplayPiece, replay_size_ - replay_offset_));
    if (!replay_->read(replay_offset_, want, piece) || piece.empty())
      return complete({kNetwork, net::kCacheReadFailure});
    replay_offset_ += piece.size();
    turn += piece.size();
    if (!deliver(reinterpret_cast<const uint8_t *>(piece.data()), piece.size()))
      recv_paused_ = true;  // taken; the rest waits for a resume
  }
  if (!done_ && replay_offset_ >= replay_size_) complete({kOk, 0});
}

void Transfer::cache_on_complete(const Outcome &outcome) {
  if (writer_) {
    if (outcome.code == kOk) writer_->commit();
    writer_.reset();
  }
  replay_.reset();
  cache::Store *store = context_->cache();
  if (store && outcome.code == kOk && !replaying_ && head_delivered_ &&
      cache::invalidates(hop_.method, head_.status()))
    for (const std::string &url : cache::invalidated_urls(hop_.url, head_.block()))
      store->remove(url);
  if (saw_set_cookie_ && easy_) {
    context_->bound_cookies();
    if (Namespace *ns = context_->profile_namespace()) ns->save_cookies(easy_.get());
  }
}

}  // namespace hvcore
