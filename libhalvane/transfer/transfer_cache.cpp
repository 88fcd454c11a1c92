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
    if (iequals(h.name, "cache-control") || iequals(h.name, "pragma") || iequals(h.name, "range"))
      return std::nullopt;
  if (cache::bypasses_cache(headers)) return std::nullopt;
  const auto key = storage_key(url, headers);
  if (!key) return std::nullopt;
  std::optional<cache::Entry> entry = store->lookup(*key);
  // Vary compares the fields as sent, profile and jar included, which only
  // the hop itself composes.
  if (!entry || !entry->body || entry->body_size > kPlainBodyMax || !entry->meta.parts.empty() ||
      is_redirect_status(entry->meta.status) || find_header(entry->meta.head, "vary"))
    return std::nullopt;
  if (cache::decide(mode, entry->meta, headers, now_seconds()) != cache::Action::Use)
    return std::nullopt;
  // A response whose no-cache names fields is delivered without them.
  if (!cache::response_directives(entry->meta.head).no_cache_fields.empty()) return std::nullopt;
  return entry;
}

TransferCache::Start TransferCache::start_hop(CURL *easy, const Hop &hop, const SentFields &sent) {
  found_.reset();
  stale_.reset();
  base_.reset();
  want_.reset();
  fetch_.reset();
  whole_tag_.reset();
  ranged_ = false;
  renews_ = false;
  held_ = Held::None;
  writer_.reset();
  suffix_from_ = 0;
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
  std::optional<cache::ByteRange> range;
  if (key_ && hop.method == "GET" && mode != CacheMode::NoStore)
    range = cache::byte_range(hop.headers);
  ranged_ = range.has_value();
  std::optional<cache::Entry> entry;
  if (key_ && hop.method == "GET" && mode != CacheMode::NoStore && mode != CacheMode::Bypass)
    entry = store->lookup(*key_);
  if (entry && !cache::vary_matches(entry->meta, vary_fields(sent))) entry.reset();
  if (entry && !entry->meta.parts.empty())
    return start_parts(std::move(*entry), hop, range, only_cached);
  if (entry && range) {
    // A complete response answers any range of it, unless a content coding
    // made its stored bytes other than the representation's.
    if (entry->meta.status == 200) whole_tag_ = cache::strong_etag(entry->meta.head);
    want_ = cache::resolve_range(*range, entry->body_size);
    if (!want_ || entry->meta.status != 200 || find_header(entry->meta.head, "content-encoding")) {
      want_.reset();
      entry.reset();
    }
  }
  if (entry) {
    switch (cache::decide(mode, entry->meta, hop.headers, request_time_)) {
      case cache::Action::UseAndRenew:
        renews_ = true;
        [[fallthrough]];
      case cache::Action::Use:
        found_ = std::move(entry);
        return Start::Use;
      case cache::Action::Revalidate:
        if (only_cached) break;  // the origin may not be asked
        found_ = std::move(entry);
        return Start::Network;
      case cache::Action::Network:
        // Fetched again, yet still there should the origin fail.
        if (!only_cached) stale_ = std::move(entry);
        break;
    }
  }
  // Nothing stored that this request may use.
  want_.reset();
  return only_cached ? Start::Miss : Start::Network;
}

TransferCache::Start TransferCache::start_parts(cache::Entry entry, const Hop &hop,
                                                std::optional<cache::ByteRange> range,
                                                bool only_cached) {
  const uint64_t length = entry.meta.length;
  const auto want = range ? cache::resolve_range(*range, length) : cache::Span{0, length};
  const auto action = cache::decide(mode_, entry.meta, hop.headers, request_time_);
  // A 206 of the same representation joins the stored ranges, fresh or not.
  base_ = entry;
  // Only fresh ranges are used; a stale partial entry is not revalidated
  // (the request goes out as if nothing were stored, and what comes back
  // joins or replaces it).
  if (!want || action != cache::Action::Use) return only_cached ? Start::Miss : Start::Network;
  if (cache::covers(entry.meta.parts, *want)) {
    want_ = want;
    found_ = std::move(entry);
    return Start::Use;
  }
  if (only_cached) return Start::Miss;
  // The missing bytes are fetched alone when the whole representation can
  // be stored, so that the answer can be given from the store; else the
  // request goes out as it is.
  const auto tag = cache::strong_etag(entry.meta.head);
  cache::Store *store = context_.cache();
  if (!tag || cache::entry_bytes(*key_, entry.meta) + length > store->entry_max())
    return Start::Network;
  want_ = want;
  fetch_ = cache::missing_span(entry.meta.parts, *want);
  found_ = std::move(entry);
  return Start::Network;
}

cache::Entry TransferCache::take_entry() {
  cache::Entry entry = std::move(*found_);
  found_.reset();
  return entry;
}

std::vector<HeaderField> TransferCache::validators() const {
  if (fetch_ && found_) {
    // The stored ranges are of this representation: If-Range gets the
    // missing part of it, or the whole of a changed one. Identity, since
    // the ranges count the representation's own bytes.
    return {{"Range",
             "bytes=" + std::to_string(fetch_->first) + "-" + std::to_string(fetch_->second - 1)},
            {"If-Range", cache::strong_etag(found_->meta.head).value_or("")},
            {"Accept-Encoding", "identity"}};
  }
  return found_ ? cache::validators(found_->meta.head) : std::vector<HeaderField>();
}

bool TransferCache::takes_head(const Hop &hop, int status, const std::string &head,
                               const SentFields &sent) {
  cache::Store *store = context_.cache();
  if (!store || !key_) return false;
  if (found_ && !fetch_ && status == 304) {
    held_ = Held::Confirmed;
    return true;
  }
  if (fetch_) {
    const auto got = cache::content_range(head);
    const bool asked = status == 206 && got && got->first == fetch_->first &&
                       got->last + 1 == fetch_->second && got->length == found_->meta.length &&
                       cache::part_head_is_storable(head) &&
                       cache::strong_etag(head) == cache::strong_etag(found_->meta.head);
    if (asked) {
      // A part the store cannot take leaves no writer: finish_held fails it.
      held_ = Held::Part;
      begin_part(*got, head, sent, status);
      return true;
    }
    // The representation changed (a 200), or the origin answered otherwise:
    // that answer is the caller's, stored by the usual rules.
    found_.reset();
    fetch_.reset();
    want_.reset();
    base_.reset();
  }
  if (const std::optional<cache::Entry> &stored = found_ ? found_ : stale_;
      stored && cache::is_error_for_stale(status) &&
      cache::serves_stale_on_error(mode_, stored->meta, hop.headers, now_seconds())) {
    held_ = Held::StaleOnError;
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
  if (!may_store) return false;
  if (status == 206) {
    if (const auto got = cache::content_range(head);
        got && cache::part_is_storable(hop.headers, head))
      begin_part(*got, head, sent, status);
    return false;
  }
  if (!cache::is_storable(hop.method, hop.headers, head)) return false;
  writer_ = store->begin(*key_, meta_for(status, head, sent));
  return false;
}

bool TransferCache::begin_part(const cache::ContentRange &range, const std::string &head,
                               const SentFields &sent, int status) {
  const auto tag = cache::strong_etag(head);
  // A complete response of this representation is stored already.
  if (!tag || (whole_tag_ && *whole_tag_ == *tag)) return false;
  const cache::Span added{range.first, range.last + 1};
  // Ranges of another representation are replaced, not joined.
  if (base_ && (base_->meta.length != range.length || cache::strong_etag(base_->meta.head) != tag))
    base_.reset();
  cache::StoredMeta meta = meta_for(status, head, sent);
  // The new part's fields replace the stored ones of the same names; the
  // others stay (RFC 9111 3.4).
  if (base_) meta.head = cache::head_to_store(cache::freshen_head(base_->meta.head, head));
  meta.parts = base_ ? cache::merged(base_->meta.parts, added) : cache::Parts{added};
  meta.length = range.length;
  if (meta.parts.size() == 1 && meta.parts.front() == cache::Span{0, range.length}) {
    // All of it: from now on an ordinary response.
    meta.status = 200;
    meta.head = cache::whole_head(meta.head, range.length);
    meta.parts.clear();
    meta.length = 0;
  }
  writer_ = context_.cache()->begin(*key_, std::move(meta));
  if (!writer_) return false;
  // The stored bytes before the new range go first, those after it last.
  suffix_from_ = added.second;
  if (base_ && !append_stored(0, added.first)) {
    writer_.reset();
    return false;
  }
  return true;
}

bool TransferCache::append_stored(uint64_t from, uint64_t to) {
  constexpr size_t kPiece = 256 * 1024;
  std::string piece;
  for (const cache::Span &p : base_->meta.parts) {
    uint64_t at = std::max(p.first, from);
    const uint64_t end = std::min(p.second, to);
    while (at < end) {
      piece.clear();
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, end - at));
      if (!base_->body->read(cache::body_offset(base_->meta.parts, at), want, piece) ||
          piece.empty())
        return false;
      piece.resize(std::min(piece.size(), want));
      if (!writer_->append(reinterpret_cast<const uint8_t *>(piece.data()), piece.size()))
        return false;
      at += piece.size();
    }
  }
  return true;
}

bool TransferCache::commit_writer() {
  std::unique_ptr<cache::Writer> writer = std::move(writer_);
  if (!writer) return false;
  if (base_ && suffix_from_ > 0) {
    writer_ = std::move(writer);
    const bool ok = append_stored(suffix_from_, UINT64_MAX);
    writer = std::move(writer_);
    if (!ok) return false;
  }
  return writer->commit();
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

std::optional<cache::Entry> TransferCache::finish_held(CURLcode result, const Hop &hop,
                                                       const std::string &head, HeldEnd &end) {
  const Held held = held_;
  held_ = Held::None;
  switch (held) {
    case Held::None:
      return std::nullopt;
    case Held::Confirmed: {
      if (result != CURLE_OK) return std::nullopt;
      cache::Entry entry = take_entry();
      end.validated = true;
      // The 304 renews the response whose validators were sent, and only
      // while it is still the one stored: a newer response stored meanwhile
      // stays as it is. A 304 naming another representation renews
      // nothing, yet it answers the condition that was asked, so this
      // request gets the stored response as it was.
      if (cache::update_selects(entry.meta.head, head))
        freshen(entry, head, cache::may_update(hop.headers, head));
      return entry;
    }
    case Held::StaleOnError: {
      // Whatever became of the error's body, the stored response stands.
      cache::Entry entry = found_ ? take_entry() : std::move(*stale_);
      stale_.reset();
      return entry;
    }
    case Held::Part: {
      if (result != CURLE_OK) return std::nullopt;
      end.validated = true;
      found_.reset();
      fetch_.reset();
      std::optional<cache::Entry> entry;
      if (commit_writer()) entry = context_.cache()->lookup(*key_);
      // Another response may have replaced it meanwhile.
      const bool whole =
          entry && (entry->meta.parts.empty() ? want_->second <= entry->body_size
                                              : cache::covers(entry->meta.parts, *want_));
      if (!whole) {
        end.write_failed = true;
        return std::nullopt;
      }
      return entry;
    }
  }
  return std::nullopt;
}

std::optional<cache::Entry> TransferCache::stale_for_failure(CURLcode result, const Hop &hop) {
  // A timeout is the caller's bound, a cancel the caller's wish: neither is
  // the origin failing.
  if (result == CURLE_OK || result == CURLE_OPERATION_TIMEDOUT ||
      result == CURLE_ABORTED_BY_CALLBACK || result == CURLE_OUT_OF_MEMORY)
    return std::nullopt;
  std::optional<cache::Entry> &stored = found_ && !fetch_ ? found_ : stale_;
  if (!stored || !cache::serves_stale_on_error(mode_, stored->meta, hop.headers, now_seconds()))
    return std::nullopt;
  cache::Entry entry = std::move(*stored);
  found_.reset();
  stale_.reset();
  return entry;
}

std::string TransferCache::delivered_head(const cache::StoredMeta &meta) {
  return cache::with_age(meta.head, cache::current_age(meta, now_seconds()));
}

std::string TransferCache::replay_head(const cache::Entry &entry, bool validated) const {
  std::string head = validated ? entry.meta.head : cache::unvalidated_head(entry.meta.head);
  if (want_ && ranged_) {
    const uint64_t length = entry.meta.parts.empty() ? entry.body_size : entry.meta.length;
    head = cache::part_head(head, want_->first, want_->second, length);
  }
  return cache::with_age(head, cache::current_age(entry.meta, now_seconds()));
}

void TransferCache::start_replay(cache::Entry entry) {
  replaying_ = true;
  replay_ = std::move(entry.body);
  replay_offset_ = 0;
  replay_size_ = replay_ ? entry.body_size : 0;
  if (want_ && replay_) {
    const cache::Parts &parts = entry.meta.parts;
    replay_offset_ = parts.empty() ? want_->first : cache::body_offset(parts, want_->first);
    replay_size_ = replay_offset_ + (want_->second - want_->first);
  }
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
    piece.resize(std::min(piece.size(), want));
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
    if (ok) commit_writer();
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
  // What private names stays out of the store.
  meta.head = cache::head_to_store(head);
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
