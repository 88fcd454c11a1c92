#include "base/sqlite_db.h"

#include <new>

#include "base/core_thread.h"

namespace hvcore::sql {

std::unique_ptr<Connection> Connection::open(const std::string &path, int flags, int &rc) {
  sqlite3 *db = nullptr;
  rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);  // a handle is returned even on most failures
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 0);
  auto conn = std::unique_ptr<Connection>(new (std::nothrow) Connection(db));
  if (conn == nullptr) {
    sqlite3_close_v2(db);
    rc = SQLITE_NOMEM;
  }
  return conn;
}

int Connection::exec(const char *sql) {
  return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
}

void Connection::wait_when_busy(std::chrono::milliseconds bound) {
  busy_bound_ = bound;
  sqlite3_busy_handler(db_.get(), &Connection::on_busy, this);
}

int Connection::on_busy(void *self, int count) {
  if (on_core_thread()) return 0;
  auto *c = static_cast<Connection *>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) c->busy_since_ = now;
  if (now - c->busy_since_ >= c->busy_bound_) return 0;
  // Short first: most locks are a commit of a few milliseconds.
  sqlite3_sleep(count < 4 ? 1 << count : 20);
  return 1;
}

int Statement::prepare(Connection &db, std::string_view sql) {
  sqlite3_stmt *s = nullptr;
  int rc = sqlite3_prepare_v3(db.get(), sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  stmt_.reset(rc == SQLITE_OK ? s : nullptr);
  if (rc != SQLITE_OK) sqlite3_finalize(s);
  return rc;
}

Transaction::Transaction(Connection &db) : db_(db) {
  active_ = db_.exec("BEGIN IMMEDIATE") == SQLITE_OK;
}

Transaction::~Transaction() {
  if (active_) db_.exec("ROLLBACK");
}

bool Transaction::commit() {
  if (!active_) return false;
  if (db_.exec("COMMIT") != SQLITE_OK) return false;  // destructor rolls back
  active_ = false;
  return true;
}

bool query_int(Connection &db, const char *sql, int64_t &out) {
  Statement s(db, sql);
  if (!s.ok()) return false;
  if (s.step() != SQLITE_ROW) return false;
  out = s.int64(0);
  return true;
}

}  // namespace hvcore::sql
