// The HTTP cache's part of one request, hop by hop: the lookup before a hop
// goes out, the stored response a hop revalidates, the response a hop stores
// while it streams, and a stored body on its way to the caller. The transfer
// keeps one and calls it on the network thread only; it never calls the
// caller's callbacks itself.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "cache/cache_store.h"

namespace hvcore {

class EngineContext;

// The request as it is sent on one hop; redirects change it.
struct Hop {
  std::string url;
  std::string method;
  std::vector<HeaderField> headers;
  BodyKind body = BodyKind::None;
};

class TransferCache {
 public:
  // The hop's fields as sent, without the jar's cookies (the transfer's
  // sent_headers); asked for only when Vary needs them.
  using SentFields = std::function<std::vector<HeaderField>()>;

  TransferCache(EngineContext &context, CacheMode mode) : context_(context), mode_(mode) {}

  // What a hop does with the cache before anything is sent.
  enum class Start {
    Network,  // send it; with validators() when it revalidates a stored response
    Use,      // a stored response answers it: take_entry()
    Miss,     // it may not use the network, and nothing stored answers it
  };
  // A stored response that answers a plain GET with `headers` as it stands,
  // from the engine's own memory store: fresh, small, no Vary, no redirect,
  // and nothing in the request (conditionals, directives) that asks the
  // cache to think further. Nothing in every other case, which the hop's
  // full lookup then decides. Any thread.
  static std::optional<cache::Entry> plain_fresh_entry(EngineContext &context, CacheMode mode,
                                                       const std::string &url,
                                                       const std::vector<HeaderField> &headers);

  // A hop begins: what the last one left is dropped and this one looked up.
  // When the hop may store its response, `easy` is given the engine's share
  // and the jar's cookies are taken now: the response's Set-Cookie changes
  // the jar before the response is stored.
  Start start_hop(CURL *easy, const Hop &hop, const SentFields &sent);
  // The entry that answers the hop (after Start::Use).
  cache::Entry take_entry();

  // The validators the hop sends when it revalidates a stored response.
  std::vector<HeaderField> validators() const;

  // The hop's final head arrived. True when the cache takes it instead of
  // the caller: the origin confirmed the stored response with a 304. Else a
  // storable response starts being stored, and a HEAD response freshens the
  // stored GET response it agrees with.
  bool takes_head(const Hop &hop, int status, const std::string &head, const SentFields &sent);
  // True from a confirming 304 until the hop ends.
  bool confirmed() const { return confirmed_; }

  // Body of the hop's response, from the network; stored while it streams.
  void store_body(const uint8_t *data, size_t len);

  // The hop ended in a redirect from the network: a successful unsafe
  // request's targets are invalidated, and a storable redirect stored.
  void on_redirect(const Hop &hop, int status, const std::string &head, const SentFields &sent);

  // The hop that revalidated a stored response has ended. The stored
  // response when it was confirmed, freshened by the 304 (in the store too,
  // unless either side said no-store), to go to the caller.
  std::optional<cache::Entry> finish_revalidation(CURLcode result, const Hop &hop,
                                                  const std::string &head);

  // A stored response as the caller gets it: its head with an Age field.
  static std::string delivered_head(const cache::StoredMeta &meta);

  // A stored body starts going to the caller.
  void start_replay(cache::Entry entry);
  bool replaying() const { return replaying_; }
  // For the diagnostic channel: the hop has a cache entry's key (a GET the
  // cache may answer or store), revalidates a stored response, stores its
  // response as it streams.
  bool keyed() const { return key_.has_value(); }
  bool revalidating() const { return found_.has_value(); }
  bool storing() const { return writer_ != nullptr; }
  enum class Replay {
    Done,    // all of it delivered
    Paused,  // `deliver` asked to pause; the rest waits for the next call
    Turn,    // a turn's worth delivered; the rest waits for the next call
    Failed,  // the body cannot be read any more
  };
  // Delivers the stored body on from where it stopped, in pieces; `deliver`
  // returns false to pause.
  Replay replay_body(const std::function<bool(const uint8_t *, size_t)> &deliver);

  // The request ends. A response being stored is kept when the request
  // succeeded; a successful unsafe request (`delivered`: its head reached
  // the caller from the network) invalidates its targets.
  void on_complete(bool ok, const Hop &hop, bool delivered, int status, const std::string &head);

 private:
  cache::StoredMeta meta_for(int status, const std::string &head, const SentFields &sent) const;
  std::vector<HeaderField> vary_fields(const SentFields &sent) const;
  void freshen(cache::Entry &entry, const std::string &update, bool write) const;

  EngineContext &context_;
  const CacheMode mode_;

  // The current hop's part.
  std::optional<std::string> key_;             // of the hop's entry; none: the hop keeps out
  std::string jar_cookies_;                    // the jar's part of the hop's Cookie line
  cache::Seconds request_time_ = 0;            // wall clock when the hop was sent
  std::optional<cache::Entry> found_;          // answers the hop, or is revalidated by it
  bool confirmed_ = false;                     // the origin answered 304 to them
  std::unique_ptr<cache::Writer> writer_;      // the hop's response, stored as it streams
  std::shared_ptr<cache::BodyReader> replay_;  // the body delivered from the cache
  uint64_t replay_offset_ = 0;
  uint64_t replay_size_ = 0;
  bool replaying_ = false;
};

}  // namespace hvcore
