// Where a cache keeps its entries: in memory for an engine of its own, or in
// a profile namespace's database on disk (profile_store.h). One entry per
// URL; every operation is safe from any thread.
//
// A body is written while it streams through and becomes visible only when
// the writer commits; until then lookups see the previous entry, if any.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cache/cache_policy.h"

namespace hvcore::cache {

// Reads a stored body by offset. An entry that is replaced or evicted while
// it is read stays readable until its readers are gone.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  // Appends up to `max` bytes from `offset` to `out`; false when the body
  // cannot be read any more. Reading at the end appends nothing and is true.
  virtual bool read(uint64_t offset, size_t max, std::string &out) = 0;
};

struct Entry {
  // Which stored response this is: a URL's next entry gets another id, so an
  // update can tell whether the response it renews is still the one stored.
  uint64_t id = 0;
  StoredMeta meta;
  uint64_t body_size = 0;
  std::shared_ptr<BodyReader> body;
};

// One response being stored. Destroyed without commit, it leaves nothing.
class Writer {
 public:
  virtual ~Writer() = default;
  // False once the body cannot be stored (too large for the store, a write
  // failed): the writer is then dead and commit does nothing.
  virtual bool append(const uint8_t *data, size_t len) = 0;
  // Makes the entry visible, replacing the URL's previous one, and evicts the
  // least recently used entries until the store is within its bound.
  virtual bool commit() = 0;
};

class Store {
 public:
  virtual ~Store() = default;
  // The URL's complete entry, marked as used now.
  virtual std::optional<Entry> lookup(const std::string &url) = 0;
  // Nothing when the store cannot take an entry now.
  virtual std::unique_ptr<Writer> begin(const std::string &url, StoredMeta meta) = 0;
  // Replaces the stored head and times of the URL's entry `id` (as a lookup
  // gave it), body unchanged. False when the URL holds no entry or another
  // one now: a late 304 must not rewrite a newer response.
  virtual bool update(const std::string &url, uint64_t id, const StoredMeta &meta) = 0;
  virtual void remove(const std::string &url) = 0;
  // Bytes held (keys, heads and bodies, see entry_bytes), for tests and
  // bounds.
  virtual uint64_t size() const = 0;
  // The most one entry may take (entry_bytes and its body).
  virtual uint64_t entry_max() const = 0;
};

// What an entry costs its store besides its body: its key (the URL and the
// Vary fields) and its head, so that long URLs cannot outgrow the bound.
uint64_t entry_bytes(const std::string &url, const StoredMeta &meta);

constexpr uint64_t kMemoryBound = uint64_t{64} << 20;
constexpr uint64_t kDiskBound = uint64_t{256} << 20;

// An entry (entry_bytes and its body) may take at most an eighth of its
// store's bound.
std::shared_ptr<Store> make_memory_store(uint64_t bound = kMemoryBound);

}  // namespace hvcore::cache
