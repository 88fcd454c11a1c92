#include "cache/cache_disk.h"

#include <algorithm>

#include "base/header_block.h"
#include "base/http_text.h"

namespace hvcore::cache {
namespace {

constexpr size_t kChunkBytes = 256 * 1024;
// Bodies up to this size come with the lookup, read in the same visit to the
// database.
constexpr uint64_t kInlineBody = 64 * 1024;
// A reader of a larger body holds a lease on its entry (a cache_readers row),
// renewed as it reads: a replaced or evicted entry stays while a lease on it
// runs. A lease left by a process that died runs out and is then cleared.
constexpr Seconds kReaderLease = 3600;
constexpr Seconds kLeaseRenewal = 300;

// Retired entries no running lease holds, at ?1 = now; ?2, when bound, picks
// one entry.
constexpr const char *kUnreadRetired =
    "SELECT id FROM cache_entries WHERE complete=2 AND (?2 IS NULL OR id=?2) AND NOT EXISTS("
    "SELECT 1 FROM cache_readers WHERE entry=cache_entries.id AND expires>?1)";

// The head as it goes to disk: without Set-Cookie and Set-Cookie2, which
// belong to the response that carried them and must not reach the file or
// another process (browsers' disk caches drop them too).
std::string without_cookies(std::string_view head) {
  std::string out;
  out.reserve(head.size());
  size_t pos = 0;
  bool dropped = false;  // the last field was dropped: so are its folded lines
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    end = end == std::string_view::npos ? head.size() : end + 2;
    const std::string_view line = head.substr(pos, end - pos);
    pos = end;
    if (line.front() != ' ' && line.front() != '\t') {
      const std::string_view name = trim(line.substr(0, std::min(line.find(':'), line.size())));
      dropped = iequals(name, "set-cookie") || iequals(name, "set-cookie2");
    }
    if (!dropped) out += line;
  }
  return out;
}

// What an entry costs on disk besides its body: the URL is kept twice, in its
// row and in the URL index.
uint64_t disk_entry_bytes(const std::string &url, const StoredMeta &meta) {
  return entry_bytes(url, meta) + url.size();
}

// Binds an entry's URL and stored head to ?1 to ?6 and ?9, where both the insert and
// the update take them; `vary` is the encoded Vary fields, kept alive by the
// caller until the statement has run.
void bind_entry(sql::Statement &s, const std::string &url, const StoredMeta &meta,
                const std::string &vary) {
  s.bind_text(1, url);
  s.bind(2, meta.status);
  s.bind_blob_static(3, meta.head.data(), meta.head.size());
  s.bind(4, meta.request_time);
  s.bind(5, meta.response_time);
  s.bind_blob_static(6, vary.data(), vary.size());
  s.bind_text(9, parts_text(meta));
}

// The Vary fields as kept in their column: a field block, as heads are kept.
// Earlier builds wrote them in a binary form of their own, never a field
// block (it holds NULs), and wrote nothing for no fields; an entry whose
// fields cannot be read is a miss, since taken as having none it would match
// requests it was not stored for. The URL's next response replaces it.
std::optional<std::vector<HeaderField>> read_vary(std::string_view column) {
  if (column.empty()) return std::vector<HeaderField>();
  return parse_field_block(column);
}

class DiskStore;

class InlineReader final : public BodyReader {
 public:
  explicit InlineReader(std::string body) : body_(std::move(body)) {}
  bool read(uint64_t offset, size_t max, std::string &out) override {
    if (offset >= body_.size()) return offset == body_.size();
    out.append(body_, offset, max);
    return true;
  }

 private:
  std::string body_;
};

class DiskReader final : public BodyReader {
 public:
  // `lease` is the reader's cache_readers row; 0 when none could be taken.
  DiskReader(std::shared_ptr<DiskStore> store, int64_t id, uint64_t size, int64_t lease)
      : store_(std::move(store)), id_(id), size_(size), lease_(lease), renewed_(now_seconds()) {}
  ~DiskReader() override;
  bool read(uint64_t offset, size_t max, std::string &out) override;

 private:
  std::shared_ptr<DiskStore> store_;
  int64_t id_;
  uint64_t size_;
  int64_t lease_;
  Seconds renewed_;
};

class DiskStore final : public Store, public std::enable_shared_from_this<DiskStore> {
 public:
  DiskStore(std::shared_ptr<sql::Connection> db, uint64_t bound)
      : db_(std::move(db)), bound_(bound), entry_max_(bound / 8) {}

  bool prepare() {
    sql::Connection &c = *db_;
    std::lock_guard lock(c.mutex());
    return lookup_.prepare(
               c,
               "SELECT id, status, head, request_time, response_time, vary, body_size, "
               "last_used = (SELECT MAX(last_used) FROM cache_entries WHERE complete=1), parts "
               "FROM cache_entries WHERE url=?1 AND complete=1 "
               "ORDER BY id DESC LIMIT 1") == SQLITE_OK &&
           touch_.prepare(c,
                          "UPDATE cache_entries SET last_used=(SELECT MAX(last_used) FROM "
                          "cache_entries WHERE complete=1)+1 WHERE id=?1 AND complete=1") ==
               SQLITE_OK &&
           first_chunk_.prepare(c, "SELECT data FROM cache_chunks WHERE entry=?1 AND offset=0") ==
               SQLITE_OK &&
           find_chunk_.prepare(c,
                               "SELECT rowid, offset, length(data) FROM cache_chunks "
                               "WHERE entry=?1 AND offset<=?2 ORDER BY offset DESC LIMIT 1") ==
               SQLITE_OK &&
           insert_entry_.prepare(c,
                                 "INSERT INTO cache_entries(url, complete, status, head, "
                                 "request_time, response_time, vary, body_size, size, last_used, "
                                 "created, parts) VALUES(?1, 0, ?2, ?3, ?4, ?5, ?6, 0, 0, 0, ?7, "
                                 "?9)") == SQLITE_OK &&
           insert_chunk_.prepare(
               c, "INSERT INTO cache_chunks(entry, offset, data) VALUES(?1, ?2, ?3)") ==
               SQLITE_OK &&
           complete_.prepare(c,
                             "UPDATE cache_entries SET complete=1, body_size=?2, size=?3, "
                             "last_used=(SELECT COALESCE(MAX(last_used), 0) FROM cache_entries "
                             "WHERE complete=1)+1 WHERE id=?1 AND complete=0") == SQLITE_OK &&
           url_entries_.prepare(c,
                                "SELECT id FROM cache_entries WHERE url=?1 AND complete=1 "
                                "AND id<>?2") == SQLITE_OK &&
           delete_chunks_.prepare(c, "DELETE FROM cache_chunks WHERE entry=?1") == SQLITE_OK &&
           delete_entry_.prepare(c, "DELETE FROM cache_entries WHERE id=?1") == SQLITE_OK &&
           total_.prepare(c, "SELECT COALESCE(SUM(size), 0) FROM cache_entries WHERE complete>0") ==
               SQLITE_OK &&
           oldest_.prepare(c,
                           "SELECT id, size FROM cache_entries WHERE complete=1 "
                           "ORDER BY last_used LIMIT 1") == SQLITE_OK &&
           update_.prepare(c,
                           "UPDATE cache_entries SET status=?2, head=?3, request_time=?4, "
                           "response_time=?5, vary=?6, size=body_size+?7, parts=?9, "
                           "last_used=(SELECT MAX(last_used) FROM cache_entries WHERE "
                           "complete=1)+1 WHERE id=?8 AND url=?1 AND complete=1") == SQLITE_OK &&
           add_reader_.prepare(c,
                               "INSERT INTO cache_readers(entry, expires) SELECT ?1, ?2 "
                               "WHERE EXISTS(SELECT 1 FROM cache_entries WHERE id=?1 AND "
                               "complete=1)") == SQLITE_OK &&
           renew_reader_.prepare(c, "UPDATE cache_readers SET expires=?2 WHERE id=?1") ==
               SQLITE_OK &&
           drop_reader_.prepare(c, "DELETE FROM cache_readers WHERE id=?1") == SQLITE_OK &&
           is_read_.prepare(c,
                            "SELECT 1 FROM cache_readers WHERE entry=?1 AND expires>?2 "
                            "LIMIT 1") == SQLITE_OK &&
           retire_.prepare(c, "UPDATE cache_entries SET complete=2 WHERE id=?1") == SQLITE_OK &&
           expired_readers_.prepare(c, "DELETE FROM cache_readers WHERE expires<=?1") ==
               SQLITE_OK &&
           unread_retired_.prepare(c, kUnreadRetired) == SQLITE_OK;
  }

  std::optional<Entry> lookup(const std::string &url) override try {
    Entry e;
    int64_t id = 0, lease = 0;
    {
      std::lock_guard lock(db_->mutex());
      bool newest = false;
      {
        sql::Statement::Use use(lookup_);
        lookup_.bind_text(1, url);
        if (lookup_.step() != SQLITE_ROW) return std::nullopt;
        id = lookup_.int64(0);
        e.meta.status = static_cast<int>(lookup_.int64(1));
        e.meta.head = lookup_.bytes(2);
        e.meta.request_time = lookup_.int64(3);
        e.meta.response_time = lookup_.int64(4);
        auto vary = read_vary(lookup_.bytes(5));
        if (!vary) return std::nullopt;
        e.meta.vary = std::move(*vary);
        e.body_size = static_cast<uint64_t>(lookup_.int64(6));
        newest = lookup_.int64(7) != 0;
        // Unreadable ranges would deliver wrong bytes: a miss instead.
        if (!read_parts(lookup_.bytes(8), e.meta)) return std::nullopt;
      }
      // The most recently used entry needs no write to stay so.
      if (!newest) {
        sql::Statement::Use use(touch_);
        touch_.bind(1, id);
        touch_.run();
      }
      if (e.body_size == 0) {
        e.body = std::make_shared<InlineReader>(std::string());
      } else if (e.body_size <= kInlineBody) {
        sql::Statement::Use use(first_chunk_);
        first_chunk_.bind(1, id);
        if (first_chunk_.step() != SQLITE_ROW) return std::nullopt;  // removed meanwhile
        std::string_view data = first_chunk_.bytes(0);
        if (data.size() != e.body_size) return std::nullopt;
        e.body = std::make_shared<InlineReader>(std::string(data));
      } else {
        lease = add_reader_locked(id);
        if (lease < 0) return std::nullopt;  // removed meanwhile
      }
    }
    e.id = static_cast<uint64_t>(id);
    if (e.body) return e;
    // Outside the lock: a reader that goes releases its lease under it.
    try {
      e.body = std::make_shared<DiskReader>(shared_from_this(), id, e.body_size, lease);
    } catch (...) {
      if (lease != 0) release(lease, id);
      return std::nullopt;
    }
    return e;
  } catch (...) {
    return std::nullopt;
  }

  std::unique_ptr<Writer> begin(const std::string &url, StoredMeta meta) override;

  bool update(const std::string &url, uint64_t id, const StoredMeta &meta) override try {
    StoredMeta kept = meta;
    kept.head = without_cookies(meta.head);
    const std::string vary = field_block(kept.vary);
    const uint64_t bytes = disk_entry_bytes(url, kept);
    std::lock_guard lock(db_->mutex());
    sql::Transaction t(*db_);
    if (!t.active()) return false;
    const auto row = static_cast<int64_t>(id);
    {
      sql::Statement::Use use(update_);
      bind_entry(update_, url, kept, vary);
      update_.bind(7, static_cast<int64_t>(bytes));
      update_.bind(8, row);
      if (!update_.run() || sqlite3_changes(db_->get()) == 0) return false;
    }
    return evict_locked(row, now_seconds()) && t.commit();
  } catch (...) {
    return false;
  }

  void remove(const std::string &url) override try {
    std::lock_guard lock(db_->mutex());
    sql::Transaction t(*db_);
    if (!t.active()) return;
    if (delete_url_locked(url, 0, now_seconds())) t.commit();
  } catch (...) {
  }

  uint64_t size() const override {
    std::lock_guard lock(db_->mutex());
    sql::Statement::Use use(total_);
    return total_.step() == SQLITE_ROW ? static_cast<uint64_t>(total_.int64(0)) : 0;
  }

  // Writer side, each call under the database mutex.
  uint64_t entry_max() const override { return entry_max_; }

  int64_t insert_entry(const std::string &url, const StoredMeta &meta) {
    const std::string vary = field_block(meta.vary);
    std::lock_guard lock(db_->mutex());
    sql::Statement::Use use(insert_entry_);
    bind_entry(insert_entry_, url, meta, vary);
    insert_entry_.bind(7, now_seconds());
    if (!insert_entry_.run()) return 0;
    return sqlite3_last_insert_rowid(db_->get());
  }

  bool insert_chunk(int64_t id, uint64_t offset, const std::string &data) {
    std::lock_guard lock(db_->mutex());
    sql::Statement::Use use(insert_chunk_);
    insert_chunk_.bind(1, id);
    insert_chunk_.bind(2, static_cast<int64_t>(offset));
    insert_chunk_.bind_blob_static(3, data.data(), data.size());
    return insert_chunk_.run();
  }

  bool complete(int64_t id, const std::string &url, uint64_t body_size, uint64_t bytes) {
    std::lock_guard lock(db_->mutex());
    sql::Transaction t(*db_);
    if (!t.active()) return false;
    {
      sql::Statement::Use use(complete_);
      complete_.bind(1, id);
      complete_.bind(2, static_cast<int64_t>(body_size));
      complete_.bind(3, static_cast<int64_t>(bytes));
      // No row when a newer opening took it for a crashed writer's.
      if (!complete_.run() || sqlite3_changes(db_->get()) != 1) return false;
    }
    const Seconds now = now_seconds();
    return delete_url_locked(url, id, now) && sweep_locked(now) && evict_locked(id, now) &&
           t.commit();
  }

  void discard(int64_t id) {
    std::lock_guard lock(db_->mutex());
    sql::Transaction t(*db_);
    if (t.active() && delete_entry_locked(id)) t.commit();
  }

  // Reader side.
  void renew(int64_t lease) {
    std::lock_guard lock(db_->mutex());
    sql::Statement::Use use(renew_reader_);
    renew_reader_.bind(1, lease);
    renew_reader_.bind(2, now_seconds() + kReaderLease);
    renew_reader_.run();  // failing, the lease runs as it was
  }

  // The reader's lease ends; an entry replaced or evicted meanwhile goes
  // with its last lease.
  void release(int64_t lease, int64_t id) noexcept try {
    std::lock_guard lock(db_->mutex());
    sql::Transaction t(*db_);
    if (!t.active()) return;  // the lease runs out and is cleared later
    {
      sql::Statement::Use use(drop_reader_);
      drop_reader_.bind(1, lease);
      if (!drop_reader_.run()) return;
    }
    bool unread = false;
    {
      sql::Statement::Use use(unread_retired_);
      unread_retired_.bind(1, now_seconds());
      unread_retired_.bind(2, id);
      int rc = unread_retired_.step();
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return;
      unread = rc == SQLITE_ROW;
    }
    if (unread && !delete_entry_locked(id)) return;
    t.commit();
  } catch (...) {
  }

  bool read(int64_t id, uint64_t size, uint64_t offset, size_t max, std::string &out) {
    std::lock_guard lock(db_->mutex());
    int64_t rowid = 0;
    uint64_t chunk_offset = 0, chunk_len = 0;
    {
      sql::Statement::Use use(find_chunk_);
      find_chunk_.bind(1, id);
      find_chunk_.bind(2, static_cast<int64_t>(offset));
      if (find_chunk_.step() != SQLITE_ROW) return false;  // removed
      rowid = find_chunk_.int64(0);
      chunk_offset = static_cast<uint64_t>(find_chunk_.int64(1));
      chunk_len = static_cast<uint64_t>(find_chunk_.int64(2));
    }
    if (offset - chunk_offset >= chunk_len) return false;  // a gap: not this entry's body
    size_t n = static_cast<size_t>(
        std::min<uint64_t>({uint64_t{max}, chunk_len - (offset - chunk_offset), size - offset}));
    sqlite3_blob *blob = nullptr;
    if (sqlite3_blob_open(db_->get(), "main", "cache_chunks", "data", rowid, 0, &blob) !=
        SQLITE_OK) {
      sqlite3_blob_close(blob);
      return false;
    }
    size_t old = out.size();
    out.resize(old + n);
    int rc = sqlite3_blob_read(blob, out.data() + old, static_cast<int>(n),
                               static_cast<int>(offset - chunk_offset));
    sqlite3_blob_close(blob);
    if (rc != SQLITE_OK) {
      out.resize(old);
      return false;
    }
    return true;
  }

 private:
  bool delete_entry_locked(int64_t id) {
    sql::Statement::Use a(delete_chunks_), b(delete_entry_);
    delete_chunks_.bind(1, id);
    delete_entry_.bind(1, id);
    return delete_chunks_.run() && delete_entry_.run();
  }

  // A lease on the entry for a reader of its body: the row's id; 0 when none
  // could be taken (the body is then read without one); -1 when the entry is
  // gone.
  int64_t add_reader_locked(int64_t id) {
    sql::Statement::Use use(add_reader_);
    add_reader_.bind(1, id);
    add_reader_.bind(2, now_seconds() + kReaderLease);
    if (!add_reader_.run()) return 0;
    if (sqlite3_changes(db_->get()) == 0) return -1;
    return sqlite3_last_insert_rowid(db_->get());
  }

  // Takes an entry out of use: deleted, or, while a reader holds a lease on
  // it, retired (complete = 2) until its last lease ends. `deleted` tells
  // which.
  bool drop_entry_locked(int64_t id, Seconds now, bool &deleted) {
    bool read = false;
    {
      sql::Statement::Use use(is_read_);
      is_read_.bind(1, id);
      is_read_.bind(2, now);
      int rc = is_read_.step();
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
      read = rc == SQLITE_ROW;
    }
    deleted = !read;
    if (!read) return delete_entry_locked(id);
    sql::Statement::Use use(retire_);
    retire_.bind(1, id);
    return retire_.run();
  }

  // Takes the URL's complete entries other than `keep` out of use.
  bool delete_url_locked(const std::string &url, int64_t keep, Seconds now) {
    std::vector<int64_t> ids;
    {
      sql::Statement::Use use(url_entries_);
      url_entries_.bind_text(1, url);
      url_entries_.bind(2, keep);
      int rc;
      while ((rc = url_entries_.step()) == SQLITE_ROW) ids.push_back(url_entries_.int64(0));
      if (rc != SQLITE_DONE) return false;
    }
    bool deleted = false;
    for (int64_t id : ids)
      if (!drop_entry_locked(id, now, deleted)) return false;
    return true;
  }

  // Clears the leases that ran out and the retired entries no lease holds
  // any more: what readers in processes that died left.
  bool sweep_locked(Seconds now) {
    {
      sql::Statement::Use use(expired_readers_);
      expired_readers_.bind(1, now);
      if (!expired_readers_.run()) return false;
    }
    std::vector<int64_t> ids;
    {
      sql::Statement::Use use(unread_retired_);
      unread_retired_.bind(1, now);
      int rc;
      while ((rc = unread_retired_.step()) == SQLITE_ROW) ids.push_back(unread_retired_.int64(0));
      if (rc != SQLITE_DONE) return false;
    }
    for (int64_t id : ids)
      if (!delete_entry_locked(id)) return false;
    return true;
  }

  // Evicts the least recently used entries, never `keep`, until within the
  // bound. Retired entries count until their readers are done, so readers
  // can hold the store over its bound only by what they read.
  bool evict_locked(int64_t keep, Seconds now) {
    int64_t total = 0;
    {
      sql::Statement::Use use(total_);
      if (total_.step() != SQLITE_ROW) return false;
      total = total_.int64(0);
    }
    while (static_cast<uint64_t>(total) > bound_) {
      int64_t id = 0, bytes = 0;
      {
        sql::Statement::Use use(oldest_);
        int rc = oldest_.step();
        if (rc == SQLITE_DONE) break;  // only retired entries left
        if (rc != SQLITE_ROW) return false;
        id = oldest_.int64(0);
        bytes = oldest_.int64(1);
      }
      if (id == keep) break;
      bool deleted = false;
      if (!drop_entry_locked(id, now, deleted)) return false;
      if (deleted) total -= bytes;
    }
    return true;
  }

  std::shared_ptr<sql::Connection> db_;
  const uint64_t bound_;
  const uint64_t entry_max_;
  sql::Statement lookup_, touch_, first_chunk_, find_chunk_, insert_entry_, insert_chunk_,
      complete_, url_entries_, delete_chunks_, delete_entry_, oldest_, update_, add_reader_,
      renew_reader_, drop_reader_, is_read_, retire_, expired_readers_, unread_retired_;
  mutable sql::Statement total_;
};

DiskReader::~DiskReader() {
  if (lease_ != 0) store_->release(lease_, id_);
}

bool DiskReader::read(uint64_t offset, size_t max, std::string &out) try {
  if (offset >= size_) return offset == size_;
  if (lease_ != 0) {
    const Seconds now = now_seconds();
    if (now - renewed_ >= kLeaseRenewal) {
      store_->renew(lease_);
      renewed_ = now;
    }
  }
  return store_->read(id_, size_, offset, max, out);
} catch (...) {
  return false;
}

class DiskWriter final : public Writer {
 public:
  DiskWriter(std::shared_ptr<DiskStore> store, std::string url, int64_t id, uint64_t fixed)
      : store_(std::move(store)), url_(std::move(url)), id_(id), fixed_(fixed) {}

  ~DiskWriter() override {
    if (id_ != 0) store_->discard(id_);
  }

  bool append(const uint8_t *data, size_t len) override try {
    if (id_ == 0) return false;
    if (fixed_ + written_ + pending_.size() + len > store_->entry_max()) return fail();
    while (len > 0) {
      size_t n = std::min(len, kChunkBytes - pending_.size());
      pending_.append(reinterpret_cast<const char *>(data), n);
      data += n;
      len -= n;
      if (pending_.size() == kChunkBytes && !flush()) return fail();
    }
    return true;
  } catch (...) {
    return fail();
  }

  bool commit() override try {
    if (id_ == 0) return false;
    if (!pending_.empty() && !flush()) return fail();
    bool ok = store_->complete(id_, url_, written_, fixed_ + written_);
    if (!ok) return fail();
    id_ = 0;
    return true;
  } catch (...) {
    return fail();
  }

 private:
  bool flush() {
    if (!store_->insert_chunk(id_, written_, pending_)) return false;
    written_ += pending_.size();
    pending_.clear();
    return true;
  }

  bool fail() {
    if (id_ != 0) store_->discard(id_);
    id_ = 0;
    std::string().swap(pending_);
    return false;
  }

  std::shared_ptr<DiskStore> store_;
  std::string url_;
  int64_t id_;      // 0 once committed or dead
  uint64_t fixed_;  // disk_entry_bytes
  uint64_t written_ = 0;
  std::string pending_;
};

std::unique_ptr<Writer> DiskStore::begin(const std::string &url, StoredMeta meta) try {
  meta.head = without_cookies(meta.head);
  const uint64_t fixed = disk_entry_bytes(url, meta);
  if (fixed > entry_max_) return nullptr;
  int64_t id = insert_entry(url, meta);
  if (id == 0) return nullptr;
  return std::make_unique<DiskWriter>(shared_from_this(), url, id, fixed);
} catch (...) {
  return nullptr;
}

}  // namespace

namespace {

// The stored ranges of partial entries came later: a database made before
// gets their column, every existing entry complete.
bool add_parts_column(sql::Connection &db) {
  if (sql::Statement(db, "SELECT parts FROM cache_entries LIMIT 0").ok()) return true;
  return db.exec("ALTER TABLE cache_entries ADD COLUMN parts TEXT NOT NULL DEFAULT ''") ==
         SQLITE_OK;
}

}  // namespace

bool create_disk_tables(sql::Connection &db) {
  // AUTOINCREMENT: an id is never reused, so a reader of a removed entry can
  // never find another entry's body under it.
  return db.exec(
             "CREATE TABLE IF NOT EXISTS cache_entries("
             " id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " url TEXT NOT NULL,"
             " complete INTEGER NOT NULL DEFAULT 0,"
             " status INTEGER NOT NULL,"
             " head BLOB NOT NULL,"
             " request_time INTEGER NOT NULL,"
             " response_time INTEGER NOT NULL,"
             " vary BLOB NOT NULL,"
             " body_size INTEGER NOT NULL,"
             " size INTEGER NOT NULL,"
             " last_used INTEGER NOT NULL,"
             " created INTEGER NOT NULL);"
             "CREATE INDEX IF NOT EXISTS cache_entries_url ON cache_entries(url);"
             // Covers eviction: the total, the oldest entry and the newest use.
             "CREATE INDEX IF NOT EXISTS cache_entries_lru"
             " ON cache_entries(complete, last_used, size);"
             "CREATE TABLE IF NOT EXISTS cache_chunks("
             " entry INTEGER NOT NULL,"
             " offset INTEGER NOT NULL,"
             " data BLOB NOT NULL);"
             "CREATE UNIQUE INDEX IF NOT EXISTS cache_chunks_pos ON cache_chunks(entry, "
             "offset);"
             "CREATE TABLE IF NOT EXISTS cache_readers("
             " id INTEGER PRIMARY KEY,"
             " entry INTEGER NOT NULL,"
             " expires INTEGER NOT NULL);"
             "CREATE INDEX IF NOT EXISTS cache_readers_entry ON cache_readers(entry);") ==
             SQLITE_OK &&
         add_parts_column(db);
}

bool remove_abandoned_writes(sql::Connection &db, Seconds older_than) {
  sql::Statement chunks(db,
                        "DELETE FROM cache_chunks WHERE entry IN (SELECT id FROM cache_entries "
                        "WHERE complete=0 AND created<?1)");
  sql::Statement entries(db, "DELETE FROM cache_entries WHERE complete=0 AND created<?1");
  if (!chunks.ok() || !entries.ok()) return false;
  chunks.bind(1, older_than);
  entries.bind(1, older_than);
  if (!chunks.run() || !entries.run()) return false;
  // Leases that ran out, then the retired entries no lease holds.
  sql::Statement leases(db, "DELETE FROM cache_readers WHERE expires<=?1");
  sql::Statement retired_chunks(db,
                                "DELETE FROM cache_chunks WHERE entry IN (SELECT id FROM "
                                "cache_entries WHERE complete=2 AND NOT EXISTS(SELECT 1 FROM "
                                "cache_readers WHERE entry=cache_entries.id))");
  sql::Statement retired(db,
                         "DELETE FROM cache_entries WHERE complete=2 AND NOT EXISTS(SELECT 1 "
                         "FROM cache_readers WHERE entry=cache_entries.id)");
  if (!leases.ok() || !retired_chunks.ok() || !retired.ok()) return false;
  leases.bind(1, now_seconds());
  return leases.run() && retired_chunks.run() && retired.run();
}

std::shared_ptr<Store> make_disk_store(std::shared_ptr<sql::Connection> db, uint64_t bound) {
  auto store = std::make_shared<DiskStore>(std::move(db), bound);
  if (!store->prepare()) return nullptr;
  return store;
}

}  // namespace hvcore::cache
