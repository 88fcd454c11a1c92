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
#include "cache/cache_parts.h"
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
    Network,  // send it; with validators() when it revalidates or completes a stored response
    Use,      // a stored response answers it: take_entry()
    Miss,     // it may not use the network, and nothing stored answers it
  };
  // A stored response that answers a plain GET with `headers` as it stands,
  // from the engine's own memory store: fresh, small, no Vary, no redirect,
  // and nothing in the request (conditionals, directives, ranges) that asks
  // the cache to think further. Nothing in every other case, which the hop's
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
  // After Start::Use: the stored response is stale, and the origin lets it be
  // used while it is revalidated in the background (stale-while-revalidate).
  bool renews() const { return renews_; }
  // The cache key of the hop's entry, when it has one.
  const std::optional<std::string> &key() const { return key_; }

  // The fields the hop adds to the request: a revalidation's validators, or
  // the Range and If-Range that fetch only what a partial entry lacks (the
  // caller's Range then goes unsent).
  std::vector<HeaderField> validators() const;

  // The hop's final head arrived. True when the cache takes it instead of
  // the caller (holding() is then true until the hop ends): the origin
  // confirmed the stored response with a 304, sent the missing part of a
  // partial entry, or failed in a way that lets a stale response stand in.
  // Else a storable response starts being stored, and a HEAD response
  // freshens the stored GET response it agrees with.
  bool takes_head(const Hop &hop, int status, const std::string &head, const SentFields &sent);
  bool holding() const { return held_ != Held::None; }

  // Body of the hop's response, from the network; stored while it streams.
  void store_body(const uint8_t *data, size_t len);

  // The hop ended in a redirect from the network: a successful unsafe
  // request's targets are invalidated, and a storable redirect stored.
  void on_redirect(const Hop &hop, int status, const std::string &head, const SentFields &sent);

  // The hop the cache held has ended. The stored response to go to the
  // caller instead: confirmed by the 304 (freshened, in the store too unless
  // either side said no-store or the 304 names another representation),
  // completed by the missing part, or standing in for a failed origin.
  struct HeldEnd {
    bool validated = false;     // the origin vouched for what is delivered
    bool write_failed = false;  // the missing part came, the store did not keep it
  };
  std::optional<cache::Entry> finish_held(CURLcode result, const Hop &hop, const std::string &head,
                                          HeldEnd &end);
  // The exchange failed before any head: the stale stored response that may
  // stand in for the origin (stale-if-error), if any.
  std::optional<cache::Entry> stale_for_failure(CURLcode result, const Hop &hop);

  // A stored response as the caller gets it: its head with an Age field.
  static std::string delivered_head(const cache::StoredMeta &meta);
  // The head the hop's entry goes out with: the part the caller asked for,
  // and without the fields no-cache names unless it was just revalidated.
  std::string replay_head(const cache::Entry &entry, bool validated) const;

  // A stored body starts going to the caller: the part it asked for.
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
  enum class Held { None, Confirmed, Part, StaleOnError };

  cache::StoredMeta meta_for(int status, const std::string &head, const SentFields &sent) const;
  std::vector<HeaderField> vary_fields(const SentFields &sent) const;
  void freshen(cache::Entry &entry, const std::string &update, bool write) const;
  // A partial entry (or none) and a byte-range request: what the hop does.
  Start start_parts(cache::Entry entry, const Hop &hop, std::optional<cache::ByteRange> range,
                    bool only_cached);
  // Starts storing a 206 as part of its representation, joined with the
  // stored parts of the same one (`base`); false when it cannot be stored.
  bool begin_part(const cache::ContentRange &range, const std::string &head, const SentFields &sent,
                  int status);
  // Appends the bytes base_ holds in [from, to) to the writer.
  bool append_stored(uint64_t from, uint64_t to);
  // Commits the writer, with base_'s bytes after the new range first.
  bool commit_writer();

  EngineContext &context_;
  const CacheMode mode_;

  // The current hop's part.
  std::optional<std::string> key_;        // of the hop's entry; none: the hop keeps out
  std::string jar_cookies_;               // the jar's part of the hop's Cookie line
  cache::Seconds request_time_ = 0;       // wall clock when the hop was sent
  std::optional<cache::Entry> found_;     // answers the hop, or is revalidated by it
  std::optional<cache::Entry> stale_;     // may stand in for a failing origin
  std::optional<cache::Entry> base_;      // partial entry whose ranges a 206 joins
  std::optional<cache::Span> want_;       // the bytes the caller asked for
  std::optional<cache::Span> fetch_;      // the bytes the hop asks the origin for
  std::optional<std::string> whole_tag_;  // strong ETag of a complete stored response
  bool ranged_ = false;                   // the caller asked for a byte range
  bool renews_ = false;
  Held held_ = Held::None;
  std::unique_ptr<cache::Writer> writer_;      // the hop's response, stored as it streams
  uint64_t suffix_from_ = 0;                   // base_ bytes from here go after the new part
  std::shared_ptr<cache::BodyReader> replay_;  // the body delivered from the cache
  uint64_t replay_offset_ = 0;
  uint64_t replay_size_ = 0;  // where the replay ends
  bool replaying_ = false;
};

}  // namespace hvcore
