// The HTTP cache's part of a request: looking a hop up before it goes out,
// revalidating a stored response, storing what comes back while it streams,
// and reading a stored response out for the transfer to deliver through the
// same callbacks and flow control as one from the network.
#include "transfer/transfer_cache.h"

#include <algorithm>

#include "base/header_block.h"
#include "base/url.h"
#include "cache/cache_policy.h"
#include "engine/engine_context.h"
#include "namespaces/cookie_lines.h"
#include "transfer/redirects.h"

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

}  // namespace

std::optional<cache::Entry> TransferCache::plain_fresh_entry(
    EngineContext &context, CacheMode mode, const std::string &url,
    const std::vector<HeaderField> &headers) {
  // Larger bodies are replayed in turns on the network thread, which a
  // reader that pauses may hold back.
  constexpr uint64_t kPlainBodyMax = 256 * 1024;
  cache::Store *store = context.cache();
  if (store == nullptr || context.profile_namespace() != nullptr || mode != CacheMode::Default)
    return std::nullopt;
  for (const HeaderField &h : headers)
    if (iequals(h.name, "cache-control") || iequals(h.name, "pragma")) return std::nullopt;
  if (cache::bypasses_cache(headers)) return std::nullopt;
  const auto key = storage_key(url, headers);
  if (!key) return std::nullopt;
  std::optional<cache::Entry> entry = store->lookup(*key);
  // Vary compares the fields as sent, profile and jar included, which only
  // the hop itself composes.
  if (!entry || !entry->body || entry->body_size > kPlainBodyMax ||
      is_redirect_status(entry->meta.status) || find_header(entry->meta.head, "vary"))
    return std::nullopt;
  if (cache::decide(mode, entry->meta, headers, now_seconds()) != cache::Action::Use)
    return std::nullopt;
  return entry;
}

TransferCache::Start TransferCache::start_hop(CURL *easy, const Hop &hop, const SentFields &sent) {
  found_.reset();
  confirmed_ = false;
  writer_.reset();
  replay_.reset();
  replaying_ = false;
  jar_cookies_.clear();
  request_time_ = now_seconds();
  cache::Store *store = context_.cache();
  key_ = store ? storage_key(hop.url, hop.headers) : std::nullopt;
  CacheMode mode = mode_;
  // Never the network, whether or not there is a cache to answer from.
  const bool only_cached =
      mode == CacheMode::OnlyIfCached ||
      (mode == CacheMode::Default && cache::request_directives(hop.headers).only_if_cached);
  if (cache::bypasses_cache(hop.headers)) mode = CacheMode::NoStore;
  if (key_ && hop.method == "GET" && mode_ != CacheMode::NoStore) {
    curl_easy_setopt(easy, CURLOPT_SHARE, context_.share());
    // Loopback hosts count as secure origins there, as they do for libcurl.
    jar_cookies_ = cookie_header_for(easy, hop.url);
  }
  std::optional<cache::Entry> entry;
  if (key_ && hop.method == "GET" && mode != CacheMode::NoStore && mode != CacheMode::Bypass)
    entry = store->lookup(*key_);
  if (entry && cache::vary_matches(entry->meta, vary_fields(sent))) {
    switch (cache::decide(mode, entry->meta, hop.headers, request_time_)) {
      case cache::Action::Use:
        found_ = std::move(entry);
        return Start::Use;
      case cache::Action::Revalidate:
        if (only_cached) break;  // the origin may not be asked
        found_ = std::move(entry);
        return Start::Network;
      case cache::Action::Network:
        break;
    }
  }
  // Nothing stored that this request may use.
  return only_cached ? Start::Miss : Start::Network;
}

cache::Entry TransferCache::take_entry() {
  cache::Entry entry = std::move(*found_);
  found_.reset();
  return entry;
}

std::vector<HeaderField> TransferCache::validators() const {
  return found_ ? cache::validators(found_->meta.head) : std::vector<HeaderField>();
}

bool TransferCache::takes_head(const Hop &hop, int status, const std::string &head,
                               const SentFields &sent) {
  cache::Store *store = context_.cache();
  if (!store || !key_) return false;
  if (found_ && status == 304) {
    confirmed_ = true;
    return true;
  }
  const bool may_store = mode_ != CacheMode::NoStore && !cache::bypasses_cache(hop.headers);
  if (hop.method == "HEAD") {
    // Only while the response it agrees with is still the one stored when
    // the update lands.
    if (status == 200 && may_store && cache::may_update(hop.headers, head))
      if (auto entry = store->lookup(*key_);
          entry && cache::head_may_freshen(entry->meta.head, head))
        freshen(*entry, head, true);
    return false;
  }
  // Redirects are stored when their hop ends (on_redirect).
  if (is_redirect_status(status) && find_header(head, "location")) return false;
  if (!may_store || !cache::is_storable(hop.method, hop.headers, head)) return false;
  writer_ = store->begin(*key_, meta_for(status, head, sent));
  return false;
}

void TransferCache::store_body(const uint8_t *data, size_t len) {
  if (writer_ && !writer_->append(data, len)) writer_.reset();  // too large to keep
}

void TransferCache::on_redirect(const Hop &hop, int status, const std::string &head,
                                const SentFields &sent) {
  writer_.reset();
  cache::Store *store = context_.cache();
  if (!store) return;
  // A successful unsafe request that redirects still changed its target.
  if (cache::invalidates(hop.method, status))
    for (const std::string &url : cache::invalidated_urls(hop.url, head)) store->remove(url);
  if (!key_ || mode_ == CacheMode::NoStore || !cache::is_storable(hop.method, hop.headers, head))
    return;
  if (auto writer = store->begin(*key_, meta_for(status, head, sent))) writer->commit();
}

std::optional<cache::Entry> TransferCache::finish_revalidation(CURLcode result, const Hop &hop,
                                                               const std::string &head) {
  if (!confirmed_) return std::nullopt;
  confirmed_ = false;
  if (result != CURLE_OK) return std::nullopt;
  cache::Entry entry = take_entry();
  // The 304 renews the response whose validators were sent, and only while
  // it is still the one stored: a newer response stored meanwhile stays as
  // it is. Either way this request gets the response the origin confirmed.
  freshen(entry, head, cache::may_update(hop.headers, head));
  return entry;
}

std::string TransferCache::delivered_head(const cache::StoredMeta &meta) {
  return cache::with_age(meta.head, cache::current_age(meta, now_seconds()));
}

void TransferCache::start_replay(cache::Entry entry) {
  replaying_ = true;
  replay_ = std::move(entry.body);
  replay_offset_ = 0;
  replay_size_ = replay_ ? entry.body_size : 0;
}

TransferCache::Replay TransferCache::replay_body(
    const std::function<bool(const uint8_t *, size_t)> &deliver) {
  size_t turn = 0;
  std::string piece;
  while (replay_offset_ < replay_size_) {
    if (turn >= kReplayTurn) return Replay::Turn;
    piece.clear();
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(kReplayPiece, replay_size_ - replay_offset_));
    if (!replay_->read(replay_offset_, want, piece) || piece.empty()) return Replay::Failed;
    replay_offset_ += piece.size();
    turn += piece.size();
    // Taken; the rest waits for a resume.
    if (!deliver(reinterpret_cast<const uint8_t *>(piece.data()), piece.size()))
      return replay_offset_ < replay_size_ ? Replay::Paused : Replay::Done;
  }
  return Replay::Done;
}

void TransferCache::on_complete(bool ok, const Hop &hop, bool delivered, int status,
                                const std::string &head) {
  if (writer_) {
    if (ok) writer_->commit();
    writer_.reset();
  }
  replay_.reset();
  cache::Store *store = context_.cache();
  if (store && ok && !replaying_ && delivered && cache::invalidates(hop.method, status))
    for (const std::string &url : cache::invalidated_urls(hop.url, head)) store->remove(url);
}

cache::StoredMeta TransferCache::meta_for(int status, const std::string &head,
                                          const SentFields &sent) const {
  cache::StoredMeta meta;
  meta.status = status;
  meta.head = head;
  meta.request_time = request_time_;
  meta.response_time = now_seconds();
  meta.vary = cache::vary_headers(head, vary_fields(sent));
  return meta;
}

// The fields as Vary compares them: as sent, with the one Cookie line
// libcurl writes, the jar's cookies first, then the caller's, joined as the
// transfer's header list joins them.
std::vector<HeaderField> TransferCache::vary_fields(const SentFields &sent) const {
  std::vector<HeaderField> fields = sent();
  std::string caller;
  for (const HeaderField &h : fields) {
    if (!iequals(h.name, "cookie")) continue;
    if (!caller.empty()) caller += "; ";
    caller += h.value;
  }
  std::erase_if(fields, [](const HeaderField &h) { return iequals(h.name, "cookie"); });
  std::string line = jar_cookies_;
  if (!line.empty() && !caller.empty()) line += "; ";
  line += caller;
  if (!line.empty()) fields.push_back({"Cookie", std::move(line)});
  return fields;
}

// A 304's or a HEAD response's fields renew the entry's head and times;
// `write` puts them in the store too.
void TransferCache::freshen(cache::Entry &entry, const std::string &update, bool write) const {
  entry.meta.head = cache::freshen_head(entry.meta.head, update);
  entry.meta.request_time = request_time_;
  entry.meta.response_time = now_seconds();
  // Only a hop that looked the cache up freshens, so the store and key are
  // there.
  if (write) context_.cache()->update(*key_, entry.id, entry.meta);
}

}  // namespace hvcore
