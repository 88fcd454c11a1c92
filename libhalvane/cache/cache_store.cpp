// The memory store: an engine's own cache when it names no profile
// namespace. Bodies are immutable shared buffers, so a reader taken from a
// lookup keeps its bytes when the entry is replaced or evicted meanwhile.
#include "cache/cache_store.h"

#include <cstring>
#include <list>
#include <mutex>
#include <unordered_map>

namespace hvcore::cache {
namespace {

using Body = std::shared_ptr<const std::string>;

class MemoryReader final : public BodyReader {
 public:
  explicit MemoryReader(Body body) : body_(std::move(body)) {}
  bool read(uint64_t offset, size_t max, std::string &out) override {
    if (offset >= body_->size()) return offset == body_->size();
    size_t n = std::min<uint64_t>(max, body_->size() - offset);
    out.append(body_->data() + offset, n);
    return true;
  }

 private:
  Body body_;
};

class MemoryStore final : public Store, public std::enable_shared_from_this<MemoryStore> {
 public:
  explicit MemoryStore(uint64_t bound) : bound_(bound), entry_max_(bound / 8) {}

  std::optional<Entry> lookup(const std::string &url) override try {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(url);
    if (it == entries_.end()) return std::nullopt;
    lru_.splice(lru_.begin(), lru_, it->second.lru);
    Entry e;
    e.id = it->second.id;
    e.meta = it->second.meta;
    e.body_size = it->second.body->size();
    e.body = std::make_shared<MemoryReader>(it->second.body);
    return e;
  } catch (...) {
    return std::nullopt;
  }

  std::unique_ptr<Writer> begin(const std::string &url, StoredMeta meta) override;

  bool update(const std::string &url, uint64_t id, const StoredMeta &meta) override try {
    StoredMeta copy = meta;  // copied before the lock: nothing throws under it
    const uint64_t bytes = entry_bytes(url, copy);
    std::lock_guard lock(mutex_);
    auto it = entries_.find(url);
    if (it == entries_.end() || it->second.id != id) return false;
    Stored &stored = it->second;
    size_ -= stored.bytes;
    stored.bytes = bytes + stored.body->size();
    size_ += stored.bytes;
    stored.meta = std::move(copy);
    lru_.splice(lru_.begin(), lru_, stored.lru);
    evict_locked();
    return true;
  } catch (...) {
    return false;
  }

  void remove(const std::string &url) override {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(url);
    if (it != entries_.end()) erase_locked(it);
  }

  uint64_t size() const override {
    std::lock_guard lock(mutex_);
    return size_;
  }

  uint64_t entry_max() const override { return entry_max_; }

  bool commit(const std::string &url, StoredMeta &&meta, Body body) {
    const uint64_t bytes = entry_bytes(url, meta) + body->size();
    if (bytes > entry_max_) return false;
    std::lock_guard lock(mutex_);
    auto it = entries_.find(url);
    if (it != entries_.end()) erase_locked(it);
    auto added =
        entries_.emplace(url, Stored{std::move(meta), std::move(body), ++last_id_, bytes, {}})
            .first;
    try {
      lru_.push_front(&added->first);
    } catch (...) {
      entries_.erase(added);
      throw;
    }
    added->second.lru = lru_.begin();
    size_ += bytes;
    evict_locked();
    return true;
  }

 private:
  // The URL is held once, as the map's key; the recency list points at it
  // (a node-based map never moves its elements).
  struct Stored {
    StoredMeta meta;
    Body body;
    uint64_t id;
    uint64_t bytes;  // what it counts against the bound
    std::list<const std::string *>::iterator lru;
  };
  using Map = std::unordered_map<std::string, Stored>;

  void erase_locked(Map::iterator it) {
    size_ -= it->second.bytes;
    lru_.erase(it->second.lru);
    entries_.erase(it);
  }

  // The most recent entry is never evicted: it is at most an eighth of the
  // bound, so the others always make room.
  void evict_locked() {
    while (size_ > bound_ && lru_.size() > 1) erase_locked(entries_.find(*lru_.back()));
  }

  const uint64_t bound_;
  const uint64_t entry_max_;
  mutable std::mutex mutex_;
  Map entries_;
  std::list<const std::string *> lru_;  // most recently used first
  uint64_t size_ = 0;
  uint64_t last_id_ = 0;
};

class MemoryWriter final : public Writer {
 public:
  MemoryWriter(std::shared_ptr<MemoryStore> store, std::string url, StoredMeta meta)
      : store_(std::move(store)),
        url_(std::move(url)),
        meta_(std::move(meta)),
        fixed_(entry_bytes(url_, meta_)) {}

  bool append(const uint8_t *data, size_t len) override try {
    if (dead_) return false;
    if (fixed_ + body_.size() + len > store_->entry_max()) {
      dead_ = true;
      std::string().swap(body_);
      return false;
    }
    body_.append(reinterpret_cast<const char *>(data), len);
    return true;
  } catch (...) {
    dead_ = true;
    return false;
  }

  bool commit() override try {
    if (dead_) return false;
    dead_ = true;  // one commit per writer
    auto body = std::make_shared<const std::string>(std::move(body_));
    return store_->commit(url_, std::move(meta_), std::move(body));
  } catch (...) {
    return false;
  }

 private:
  std::shared_ptr<MemoryStore> store_;
  std::string url_;
  StoredMeta meta_;
  uint64_t fixed_;  // entry_bytes
  std::string body_;
  bool dead_ = false;
};

std::unique_ptr<Writer> MemoryStore::begin(const std::string &url, StoredMeta meta) try {
  if (entry_bytes(url, meta) > entry_max_) return nullptr;
  return std::make_unique<MemoryWriter>(shared_from_this(), url, std::move(meta));
} catch (...) {
  return nullptr;
}

}  // namespace

uint64_t entry_bytes(const std::string &url, const StoredMeta &meta) {
  uint64_t bytes = url.size() + meta.head.size();
  for (const auto &f : meta.vary) bytes += f.name.size() + f.value.size();
  return bytes;
}

std::shared_ptr<Store> make_memory_store(uint64_t bound) {
  return std::make_shared<MemoryStore>(bound);
}

}  // namespace hvcore::cache
