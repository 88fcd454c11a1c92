// A small owner layer over SQLite: one connection, prepared statements that
// reset themselves after use, and transactions that roll back unless
// committed. Errors are SQLite result codes, never exceptions, so callers can
// run inside libcurl or the Core's callers without a try block.
//
// A Connection is not thread-safe by itself: its users serialise on mutex().
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace hvcore::sql {

struct ConnectionCloser {
  void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};

class Connection {
 public:
  // Opens `path` with the SQLITE_OPEN_* `flags`; nothing on failure, with the
  // SQLite code in `rc`.
  static std::unique_ptr<Connection> open(const std::string &path, int flags, int &rc);

  sqlite3 *get() const { return db_.get(); }
  std::mutex &mutex() { return mutex_; }

  // Runs statements without results; SQLITE_OK or the first error.
  int exec(const char *sql);

  // How long a statement waits for another connection's lock before it
  // fails with SQLITE_BUSY. The Core's own threads never wait: a request
  // must not outlast its timeout, nor hold up the others on its thread,
  // because another process holds the database.
  void wait_when_busy(std::chrono::milliseconds bound);

 private:
  explicit Connection(sqlite3 *db) : db_(db) {}
  static int on_busy(void *self, int count);

  std::unique_ptr<sqlite3, ConnectionCloser> db_;
  std::mutex mutex_;
  std::chrono::milliseconds busy_bound_{0};
  std::chrono::steady_clock::time_point busy_since_;  // under mutex_, as every use
};

// A prepared statement kept for reuse. Bind, then step; every use ends with
// reset() (Use does it), so that no read transaction stays open between uses.
class Statement {
 public:
  Statement() = default;
  Statement(Connection &db, std::string_view sql) { prepare(db, sql); }

  int prepare(Connection &db, std::string_view sql);
  bool ok() const { return stmt_ != nullptr; }

  void bind(int index, int64_t value) { sqlite3_bind_int64(stmt_.get(), index, value); }
  void bind_text(int index, std::string_view text) {
    sqlite3_bind_text64(stmt_.get(), index, text.data(), text.size(), SQLITE_TRANSIENT,
                        SQLITE_UTF8);
  }
  void bind_blob(int index, const void *data, size_t len) {
    // A zero-length blob must not be bound as NULL.
    sqlite3_bind_blob64(stmt_.get(), index, len == 0 ? "" : data, len, SQLITE_TRANSIENT);
  }
  // Static binding: the bytes must outlive the step.
  void bind_blob_static(int index, const void *data, size_t len) {
    sqlite3_bind_blob64(stmt_.get(), index, len == 0 ? "" : data, len, SQLITE_STATIC);
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(stmt_.get()); }
  // Steps a statement without rows; true on SQLITE_DONE.
  bool run() { return step() == SQLITE_DONE; }

  int64_t int64(int col) const { return sqlite3_column_int64(stmt_.get(), col); }
  bool is_null(int col) const { return sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL; }
  std::string_view bytes(int col) const {
    const void *p = sqlite3_column_blob(stmt_.get(), col);
    int n = sqlite3_column_bytes(stmt_.get(), col);
    return p == nullptr ? std::string_view() : std::string_view(static_cast<const char *>(p), n);
  }

  void reset() {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
  }

  // Resets the statement when the scope ends.
  class Use {
   public:
    explicit Use(Statement &s) : s_(s) {}
    ~Use() { s_.reset(); }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;

   private:
    Statement &s_;
  };

 private:
  std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt_;
};

// BEGIN IMMEDIATE (takes the write lock at once, waiting as the connection
// allows); rolled back on destruction unless committed.
class Transaction {
 public:
  explicit Transaction(Connection &db);
  ~Transaction();
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;

  bool active() const { return active_; }
  bool commit();

 private:
  Connection &db_;
  bool active_ = false;
};

// Runs a single-value query (first column of the first row) as an integer;
// nothing when it fails or has no row.
bool query_int(Connection &db, const char *sql, int64_t &out);

}  // namespace hvcore::sql
