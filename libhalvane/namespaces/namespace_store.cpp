// A namespace's database: its header carries our application id and the
// layout's version (user_version); meta(key, value) holds 'schema' (the same
// version, as databases had it before they were marked), 'profile' (the
// impersonation profile the namespace is bound to, '' for none) and
// 'cookie_version' (raised by every cookie save, so that other processes
// notice); cookies holds the persistent cookies, one row per domain, path and
// name; alt_services holds the origins' HTTP/3 alternatives (alt_svc.h); the
// cache tables are cache_disk.cpp's.
#include "namespaces/namespace_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/codes.h"
#include "base/curl_handles.h"
#include "base/http_text.h"
#include "base/sqlite_db.h"
#include "cache/cache_disk.h"
#include "namespaces/cookie_bound.h"
#include "namespaces/cookie_lines.h"

namespace hvcore {
namespace {

constexpr int64_t kSchemaVersion = 1;
// PRAGMA application_id of our databases ("HvNs").
constexpr int64_t kApplicationId = 0x48764e73;
// Opening a namespace waits this long for another process's lock.
constexpr std::chrono::milliseconds kBusyWait{2000};
// A write begun this long ago was left by a process that died.
constexpr int64_t kAbandonedWriteAge = 3600;

std::string home_folder() {
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd pw {};
  struct passwd *found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr)
    return found->pw_dir;
  return {};
}

std::string state_home() {
  const char *xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  return home_folder() + "/.local/state";
}

// mkdir -p, each missing folder with mode 0700: the namespace's cookies are
// its owner's alone.
bool make_folders(const std::string &path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat64 st {};
  return stat64(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Our folders are their owner's alone: one that another user owns is
// refused, any other mode than 0700 set to it. A symbolic link is followed
// and its target held to the same.
bool own_private_folder(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat64 st {};
  bool ok = fstat64(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
            ((st.st_mode & 07777) == 0700 || fchmod(fd, 0700) == 0);
  ::close(fd);
  return ok;
}

// The same for the database and the files SQLite keeps beside it, with mode
// 0600; a link is refused. SQLite gives the files it makes the database's
// mode. A missing file is fine unless `must_exist`.
bool own_private_file(const std::string &path, bool must_exist) {
  int fd = ::open64(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return !must_exist && errno == ENOENT;
  struct stat64 st {};
  bool ok = fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            ((st.st_mode & 07777) == 0600 || fchmod(fd, 0600) == 0);
  ::close(fd);
  return ok;
}

std::string halvane_folder() { return state_home() + "/halvane"; }
std::string profiles_folder() { return halvane_folder() + "/profiles"; }

uint32_t be32(const unsigned char *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The 64-bit calls here and above: a 32-bit build must see a database past
// 2 GiB, and a file whose inode number needs more than 32 bits, too.
int64_t file_size(const std::string &path) {
  struct stat64 st {};
  return stat64(path.c_str(), &st) == 0 ? st.st_size : 0;
}

enum class FileKind {
  Empty,     // new: ours to make a database of
  Ours,      // marked with our application id
  Unmarked,  // a database without an application id: maybe ours from before
  Refused,   // not a database, cut short, or another program's
};

// Looks at the database file before SQLite does, making it (empty, mode
// 0600 whatever the umask) when missing, so that a file that is not a
// database, was cut short or is another program's is refused before anything
// is written to it or beside it. SQLite would notice a truncation only when
// it reaches a missing page, and it makes -wal and -shm files just to read a
// database in WAL mode.
FileKind look_at_file(const std::string &path) {
  int fd = ::open64(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    bool ok = fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok ? FileKind::Empty : FileKind::Refused;
  }
  if (errno != EEXIST) return FileKind::Refused;
  fd = ::open64(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FileKind::Refused;
  struct stat64 st {};
  unsigned char header[100];
  bool read_ok = fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                 (st.st_size == 0 || pread64(fd, header, sizeof header, 0) == sizeof header);
  ::close(fd);
  if (!read_ok) return FileKind::Refused;
  if (st.st_size == 0) return FileKind::Empty;
  if (std::string_view(reinterpret_cast<char *>(header), 16) !=
      std::string_view("SQLite format 3\0", 16))
    return FileKind::Refused;
  uint32_t page_size = uint32_t(header[16]) << 8 | header[17];
  if (page_size == 1) page_size = 65536;
  if (page_size < 512 || (page_size & (page_size - 1)) != 0) return FileKind::Refused;
  if (st.st_size % page_size != 0) return FileKind::Refused;
  // The page count in the header is trustworthy when the change counter
  // matches the version-valid-for number. Pages may then still live only in
  // a write-ahead log that was not checkpointed.
  uint32_t pages = be32(header + 28);
  bool count_valid = pages != 0 && be32(header + 24) == be32(header + 92);
  if (count_valid && uint64_t(st.st_size) < uint64_t(pages) * page_size &&
      file_size(path + "-wal") == 0)
    return FileKind::Refused;
  const uint32_t application_id = be32(header + 68);
  if (application_id == kApplicationId) return FileKind::Ours;
  return application_id == 0 ? FileKind::Unmarked : FileKind::Refused;
}

enum class Layout { Empty, Ours, Previous, Other };

// The tables of our databases from before they were marked, with the columns
// they had. meta is always there; any other table present must be one of
// these, with all of its columns.
constexpr std::pair<const char *, const char *> kPreviousTables[] = {
    {"meta", "key, value"},
    {"cookies", "domain, path, name, include_subdomains, secure, http_only, expires, value"},
    {"cache_entries",
     "id, url, complete, status, head, request_time, response_time, vary, body_size, size, "
     "last_used, created"},
    {"cache_chunks", "entry, offset, data"},
};

bool has_previous_tables(sql::Connection &c) {
  int64_t other_tables = 0;
  if (!sql::query_int(c,
                      "SELECT count(*) FROM sqlite_schema WHERE type='table' AND name NOT IN "
                      "('meta', 'cookies', 'cache_entries', 'cache_chunks', 'sqlite_sequence')",
                      other_tables) ||
      other_tables != 0)
    return false;
  for (const auto &[table, columns] : kPreviousTables) {
    sql::Statement exists(c, "SELECT count(*) FROM sqlite_schema WHERE type='table' AND name=?1");
    if (!exists.ok()) return false;
    exists.bind_text(1, table);
    if (exists.step() != SQLITE_ROW) return false;
    if (exists.int64(0) == 0 && std::string_view(table) != "meta") continue;
    // Fails to prepare without the table or one of its columns.
    if (!sql::Statement(c, std::string("SELECT ") + columns + " FROM " + table).ok()) return false;
  }
  sql::Statement keys(c,
                      "SELECT count(*) FROM meta WHERE key IN ('profile', 'cookie_version') OR "
                      "(key='schema' AND CAST(value AS INTEGER) BETWEEN 1 AND ?1)");
  if (!keys.ok()) return false;
  keys.bind(1, kSchemaVersion);
  return keys.step() == SQLITE_ROW && keys.int64(0) == 3;
}

// What an open database holds. Ours carries our application id with a
// layout version we know; an unmarked one with our previous tables and meta
// keys is taken over (and marked at its next write). Other: another
// program's, a later layout of ours, or unreadable.
Layout read_layout(sql::Connection &c) {
  int64_t application_id = 0, version = 0, objects = 0;
  if (!sql::query_int(c, "PRAGMA application_id", application_id) ||
      !sql::query_int(c, "PRAGMA user_version", version) ||
      !sql::query_int(c, "SELECT count(*) FROM sqlite_schema", objects))
    return Layout::Other;
  if (application_id == kApplicationId)
    return version <= kSchemaVersion ? Layout::Ours : Layout::Other;
  if (application_id != 0 || version != 0) return Layout::Other;
  if (objects == 0) return Layout::Empty;
  return has_previous_tables(c) ? Layout::Previous : Layout::Other;
}

// A path as an SQLite URI, so that query parameters can follow it.
std::string file_uri(const std::string &path) {
  std::string out = path.starts_with('/') ? "file://" : "file:";
  for (unsigned char ch : path) {
    bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                 ch == '/' || ch == '-' || ch == '.' || ch == '_' || ch == '~';
    if (plain) {
      out.push_back(static_cast<char>(ch));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", ch);
      out += escaped;
    }
  }
  return out;
}

// Whether an unmarked database is ours from before databases were marked,
// read without making a file: a write-ahead log with content is read only
// through the shared-memory index already beside it; without one the file
// holds everything and is read as immutable, taking no lock and making no
// -wal or -shm.
bool is_previous_layout(const std::string &path) {
  const bool has_log = file_size(path + "-wal") > 0;
  struct stat64 st {};
  if (has_log && lstat64((path + "-shm").c_str(), &st) != 0) return false;
  int rc = SQLITE_OK;
  auto db = sql::Connection::open(file_uri(path) + (has_log ? "?mode=ro" : "?mode=ro&immutable=1"),
                                  SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, rc);
  if (db == nullptr) return false;
  std::lock_guard lock(db->mutex());
  sqlite3_db_config(db->get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  db->wait_when_busy(kBusyWait);
  return read_layout(*db) == Layout::Previous;
}

bool same_cookie(const CookieLine &a, const CookieLine &b) {
  return a.domain == b.domain && a.include_subdomains == b.include_subdomains && a.path == b.path &&
         a.secure == b.secure && a.http_only == b.http_only && a.expires == b.expires &&
         a.name == b.name && a.value == b.value;
}

using CookieMap = std::map<std::string, CookieLine>;

class NamespaceImpl final : public Namespace {
 public:
  NamespaceImpl() = default;
  NamespaceImpl(const NamespaceImpl &) = delete;
  NamespaceImpl &operator=(const NamespaceImpl &) = delete;

  static int32_t open(const std::string &path, const std::string &impersonate,
                      std::shared_ptr<NamespaceImpl> &out);

  cache::Store &cache() override { return *cache_; }
  CURLSH *share() override { return share_.get(); }
  void load_cookies(CURL *easy) override;
  bool save_cookies(CURL *easy) override;
  bool cookies_unsaved() const override { return unsaved_.load(std::memory_order_acquire); }
  CookieBound &cookie_bound() override { return bound_; }
  AltServices &alt_services() override { return alt_services_; }

  const std::string &binding() const { return binding_; }

 private:
  int32_t open_database(const std::string &path, const std::string &impersonate);
  bool make_share();
  bool prepare_cookie_statements();
  // Reads the stored alternatives and has later changes written back.
  bool attach_alt_services();
  void persist_alt_service(const AltSvcEntry &entry);
  // The stored, unexpired cookies; false when they cannot be read.
  bool read_stored(CookieMap &out);
  bool read_cookie_version(int64_t &out);
  // Feeds the jar what changed between `known_` and `stored`.
  void feed_changes(CURL *easy, const CookieMap &stored);
  // Writes the changes in one transaction; false when it could not be done.
  bool write_changes(const std::vector<const CookieLine *> &upserts,
                     const std::vector<const CookieLine *> &deletes, int64_t &before);

  static void lock(CURL *, curl_lock_data data, curl_lock_access, void *user) {
    static_cast<NamespaceImpl *>(user)->locks_[data].lock();
  }
  static void unlock(CURL *, curl_lock_data data, void *user) {
    static_cast<NamespaceImpl *>(user)->locks_[data].unlock();
  }

  std::shared_ptr<sql::Connection> db_;
  std::shared_ptr<cache::Store> cache_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
  SharePtr share_;  // after locks_: cleaned up before them
  CookieBound bound_;
  std::string binding_;

  std::mutex mutex_;  // the cookie state below; taken before the database's
  CookieMap known_;   // persistent cookies as last saved or loaded
  int64_t cookie_version_ = 0;
  int64_t data_version_ = 0;
  std::atomic<bool> unsaved_{false};
  AltServices alt_services_;
  sql::Statement data_version_stmt_, cookie_version_stmt_, select_cookies_, upsert_cookie_,
      delete_cookie_, bump_version_;
};

int32_t NamespaceImpl::open(const std::string &path, const std::string &impersonate,
                            std::shared_ptr<NamespaceImpl> &out) {
  auto p = std::make_shared<NamespaceImpl>();
  if (int32_t rc = p->open_database(path, impersonate); rc != kOk) return rc;
  if (!p->prepare_cookie_statements() || !p->make_share()) return kInitializationFailed;
  p->cache_ = cache::make_disk_store(p->db_, disk_cache_bound());
  if (p->cache_ == nullptr || !p->attach_alt_services()) return kInitializationFailed;

  // The stored cookies go into the new jar through an easy handle of its own.
  CookieMap stored;
  EasyPtr easy(curl_easy_init());
  if (!easy || curl_easy_setopt(easy.get(), CURLOPT_SHARE, p->share_.get()) != CURLE_OK)
    return kInitializationFailed;
  {
    // data_version first: a change committed meanwhile is seen by the next load.
    std::lock_guard lock(p->db_->mutex());
    if (!sql::query_int(*p->db_, "PRAGMA data_version", p->data_version_) ||
        !p->read_cookie_version(p->cookie_version_) || !p->read_stored(stored))
      return kInitializationFailed;
  }
  p->feed_changes(easy.get(), stored);
  p->known_ = std::move(stored);
  out = std::move(p);
  return kOk;
}

int32_t NamespaceImpl::open_database(const std::string &path, const std::string &impersonate) {
  switch (look_at_file(path)) {
    case FileKind::Empty:
    case FileKind::Ours:
      break;
    case FileKind::Unmarked:
      if (!is_previous_layout(path)) return kInitializationFailed;
      break;
    case FileKind::Refused:
      return kInitializationFailed;
  }
  // Ours: it and what SQLite left beside it become private.
  for (const char *suffix : {"", "-wal", "-shm", "-journal"})
    if (!own_private_file(path + suffix, suffix[0] == '\0')) return kInitializationFailed;
  int rc = SQLITE_OK;
  auto db = sql::Connection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, rc);
  if (db == nullptr) return kInitializationFailed;
  db_ = std::move(db);
  sql::Connection &c = *db_;
  std::lock_guard lock(c.mutex());
  // Closing must never write: not after a failed opening, whose file stays
  // as it was, nor in tests that close a namespace other processes use.
  sqlite3_db_config(c.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  c.wait_when_busy(kBusyWait);

  auto read_binding = [&](std::optional<std::string> &binding) {
    sql::Statement s(c, "SELECT value FROM meta WHERE key='profile'");
    if (!s.ok()) return false;
    int step = s.step();
    if (step == SQLITE_ROW) binding = std::string(s.bytes(0));
    return step == SQLITE_ROW || step == SQLITE_DONE;
  };
  // Read first: a namespace bound to another profile fails without waiting
  // for the write lock.
  Layout layout = read_layout(c);
  if (layout == Layout::Other) return kInitializationFailed;
  std::optional<std::string> binding;
  if (layout != Layout::Empty && !read_binding(binding)) return kInitializationFailed;
  if (binding && *binding != impersonate) return kProfileConflict;

  // Another process may have made or bound the namespace since the reads
  // above. The file is marked as ours, in the transaction that makes its
  // tables, before it is switched to write-ahead logging.
  const std::string mark = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                           ";PRAGMA user_version=" + std::to_string(kSchemaVersion);
  sql::Transaction t(c);
  if (!t.active() || read_layout(c) == Layout::Other) return kInitializationFailed;
  if (c.exec(mark.c_str()) != SQLITE_OK ||
      c.exec("CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value NOT NULL);"
             "CREATE TABLE IF NOT EXISTS cookies("
             " domain TEXT NOT NULL, path TEXT NOT NULL, name TEXT NOT NULL,"
             " include_subdomains INTEGER NOT NULL, secure INTEGER NOT NULL,"
             " http_only INTEGER NOT NULL, expires INTEGER NOT NULL, value TEXT NOT NULL,"
             " PRIMARY KEY(domain, path, name));"
             "CREATE TABLE IF NOT EXISTS alt_services("
             " origin TEXT PRIMARY KEY, expires INTEGER NOT NULL);") != SQLITE_OK ||
      !cache::create_disk_tables(c))
    return kInitializationFailed;
  binding.reset();
  if (!read_binding(binding)) return kInitializationFailed;
  if (binding && *binding != impersonate) return kProfileConflict;
  sql::Statement bind(c, "INSERT OR IGNORE INTO meta(key, value) VALUES('profile', ?1)");
  if (!bind.ok()) return kInitializationFailed;
  bind.bind_text(1, impersonate);
  if (!bind.run() ||
      c.exec("INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 1);"
             "INSERT OR IGNORE INTO meta(key, value) VALUES('cookie_version', 0);") != SQLITE_OK)
    return kInitializationFailed;
  sql::Statement expired(c, "DELETE FROM cookies WHERE expires<=?1");
  sql::Statement expired_alternatives(c, "DELETE FROM alt_services WHERE expires<=?1");
  if (!expired.ok() || !expired_alternatives.ok()) return kInitializationFailed;
  expired.bind(1, now_seconds());
  expired_alternatives.bind(1, now_seconds());
  if (!expired.run() || !expired_alternatives.run() ||
      !cache::remove_abandoned_writes(c, now_seconds() - kAbandonedWriteAge) || !t.commit())
    return kInitializationFailed;

  // A body of many megabytes passes through the log; it is cut back to this
  // size at the next checkpoint.
  if (c.exec("PRAGMA journal_mode=WAL") != SQLITE_OK ||
      c.exec("PRAGMA synchronous=NORMAL") != SQLITE_OK ||
      c.exec("PRAGMA journal_size_limit=16777216") != SQLITE_OK)
    return kInitializationFailed;
  binding_ = impersonate;
  return kOk;
}

bool NamespaceImpl::make_share() {
  share_.reset(curl_share_init());
  CURLSH *s = share_.get();
  return s != nullptr &&
         curl_share_setopt(s, CURLSHOPT_LOCKFUNC, &NamespaceImpl::lock) == CURLSHE_OK &&
         curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, &NamespaceImpl::unlock) == CURLSHE_OK &&
         curl_share_setopt(s, CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
         curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) == CURLSHE_OK &&
         curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
         curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
}

bool NamespaceImpl::prepare_cookie_statements() {
  sql::Connection &c = *db_;
  std::lock_guard lock(c.mutex());
  return data_version_stmt_.prepare(c, "PRAGMA data_version") == SQLITE_OK &&
         cookie_version_stmt_.prepare(
             c, "SELECT CAST(value AS INTEGER) FROM meta WHERE key='cookie_version'") ==
             SQLITE_OK &&
         select_cookies_.prepare(c,
                                 "SELECT domain, include_subdomains, path, secure, http_only, "
                                 "expires, name, value FROM cookies WHERE expires>?1") ==
             SQLITE_OK &&
         upsert_cookie_.prepare(c,
                                "INSERT OR REPLACE INTO cookies(domain, include_subdomains, path, "
                                "secure, http_only, expires, name, value) "
                                "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)") == SQLITE_OK &&
         delete_cookie_.prepare(c, "DELETE FROM cookies WHERE domain=?1 AND path=?2 AND name=?3") ==
             SQLITE_OK &&
         bump_version_.prepare(c,
                               "UPDATE meta SET value=CAST(value AS INTEGER)+1 "
                               "WHERE key='cookie_version'") == SQLITE_OK;
}

bool NamespaceImpl::attach_alt_services() {
  std::vector<AltSvcEntry> entries;
  {
    std::lock_guard lock(db_->mutex());
    sql::Statement s(*db_, "SELECT origin, expires FROM alt_services WHERE expires>?1");
    if (!s.ok()) return false;
    s.bind(1, now_seconds());
    int step;
    while ((step = s.step()) == SQLITE_ROW)
      entries.push_back({std::string(s.bytes(0)), s.int64(1)});
    if (step != SQLITE_DONE) return false;
  }
  alt_services_.load(entries, now_seconds());
  alt_services_.set_persist([this](const AltSvcEntry &e) { persist_alt_service(e); });
  return true;
}

void NamespaceImpl::persist_alt_service(const AltSvcEntry &entry) {
  // Advice only: a write another process's lock refuses is dropped, and the
  // next advertisement writes it again.
  std::lock_guard lock(db_->mutex());
  sql::Statement s(*db_,
                   entry.expires == 0
                       ? "DELETE FROM alt_services WHERE origin=?1"
                       : "INSERT OR REPLACE INTO alt_services(origin, expires) VALUES(?1, ?2)");
  if (!s.ok()) return;
  s.bind_text(1, entry.origin);
  if (entry.expires != 0) s.bind(2, entry.expires);
  s.run();
}

bool NamespaceImpl::read_cookie_version(int64_t &out) {
  sql::Statement::Use use(cookie_version_stmt_);
  int step = cookie_version_stmt_.step();
  out = step == SQLITE_ROW ? cookie_version_stmt_.int64(0) : 0;
  return step == SQLITE_ROW || step == SQLITE_DONE;
}

bool NamespaceImpl::read_stored(CookieMap &out) {
  sql::Statement &s = select_cookies_;
  sql::Statement::Use use(s);
  s.bind(1, now_seconds());
  int step;
  while ((step = s.step()) == SQLITE_ROW) {
    CookieLine c;
    c.domain = s.bytes(0);
    c.include_subdomains = s.int64(1) != 0;
    c.path = s.bytes(2);
    c.secure = s.int64(3) != 0;
    c.http_only = s.int64(4) != 0;
    c.expires = s.int64(5);
    c.name = s.bytes(6);
    c.value = s.bytes(7);
    std::string key = c.key();
    out.insert_or_assign(std::move(key), std::move(c));
  }
  return step == SQLITE_DONE;
}

void NamespaceImpl::feed_changes(CURL *easy, const CookieMap &stored) {
  for (const auto &[key, c] : stored) {
    auto it = known_.find(key);
    if (it == known_.end() || !same_cookie(it->second, c))
      curl_easy_setopt(easy, CURLOPT_COOKIELIST, c.netscape().c_str());
  }
  // Removed by another process: an expired line makes the jar drop it.
  for (const auto &[key, c] : known_) {
    if (stored.count(key) != 0) continue;
    CookieLine gone = c;
    gone.expires = 1;
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, gone.netscape().c_str());
  }
}

void NamespaceImpl::load_cookies(CURL *easy) try {
  std::lock_guard lock(mutex_);
  CookieMap stored;
  int64_t version = 0;
  {
    std::lock_guard db_lock(db_->mutex());
    // data_version moves only when another connection commits: the common
    // case costs no read of the database.
    int64_t data_version = 0;
    {
      sql::Statement::Use use(data_version_stmt_);
      if (data_version_stmt_.step() != SQLITE_ROW) return;
      data_version = data_version_stmt_.int64(0);
    }
    if (data_version == data_version_) return;
    if (!read_cookie_version(version)) return;
    if (version == cookie_version_) {
      data_version_ = data_version;  // a cache write, not a cookie change
      return;
    }
    if (!read_stored(stored)) return;
    data_version_ = data_version;
  }
  feed_changes(easy, stored);
  known_ = std::move(stored);
  cookie_version_ = version;
} catch (...) {
}

bool NamespaceImpl::save_cookies(CURL *easy) try {
  std::lock_guard lock(mutex_);
  CookieMap current;
  for (auto &c : jar_cookies(easy)) {
    if (c.expires == 0) continue;  // session cookies live in memory only
    std::string key = c.key();
    current.insert_or_assign(std::move(key), std::move(c));
  }
  std::vector<const CookieLine *> upserts, deletes;
  for (const auto &[key, c] : current) {
    auto it = known_.find(key);
    if (it == known_.end() || !same_cookie(it->second, c)) upserts.push_back(&c);
  }
  for (const auto &[key, c] : known_)
    if (current.count(key) == 0) deletes.push_back(&c);
  int64_t before = 0;
  // Left out, the changes stay in known_'s difference for the next save.
  if (!upserts.empty() || !deletes.empty()) {
    if (!write_changes(upserts, deletes, before)) {
      unsaved_.store(true, std::memory_order_release);
      return false;
    }
    known_ = std::move(current);
    // Had another process changed the cookies since our last load, our
    // version stays behind, and the next load merges its changes.
    if (before == cookie_version_) cookie_version_ = before + 1;
  }
  unsaved_.store(false, std::memory_order_release);
  return true;
} catch (...) {
  unsaved_.store(true, std::memory_order_release);
  return false;
}

bool NamespaceImpl::write_changes(const std::vector<const CookieLine *> &upserts,
                                  const std::vector<const CookieLine *> &deletes, int64_t &before) {
  std::lock_guard db_lock(db_->mutex());
  sql::Transaction t(*db_);
  if (!t.active() || !read_cookie_version(before)) return false;
  for (const CookieLine *c : upserts) {
    sql::Statement &s = upsert_cookie_;
    sql::Statement::Use use(s);
    s.bind_text(1, c->domain);
    s.bind(2, c->include_subdomains);
    s.bind_text(3, c->path);
    s.bind(4, c->secure);
    s.bind(5, c->http_only);
    s.bind(6, c->expires);
    s.bind_text(7, c->name);
    s.bind_text(8, c->value);
    if (!s.run()) return false;
  }
  for (const CookieLine *c : deletes) {
    sql::Statement &s = delete_cookie_;
    sql::Statement::Use use(s);
    s.bind_text(1, c->domain);
    s.bind_text(2, c->path);
    s.bind_text(3, c->name);
    if (!s.run()) return false;
  }
  {
    sql::Statement::Use use(bump_version_);
    if (!bump_version_.run()) return false;
  }
  return t.commit();
}

// The namespaces open in this process, by database path. The registry does
// not keep them open: the engines do, and the last to go closes its
// namespace's database and jar on its own thread, without the registry's lock.
// An opening that finds its entry expired, though the closing may still be
// under way, opens the file anew: the two connections are independent, and
// the old one writes nothing as it closes. A forked child starts a registry of
// its own: the parent's connections and share handles are not the child's to
// use or to close, so they are left as they are.
struct Registry {
  pid_t pid = 0;
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<NamespaceImpl>> open;
  Registry *parent = nullptr;  // kept reachable, never freed
};

Registry &registry() {
  static std::atomic<Registry *> current{nullptr};
  pid_t pid = getpid();
  for (;;) {
    Registry *r = current.load(std::memory_order_acquire);
    if (r != nullptr && r->pid == pid) return *r;
    auto *fresh = new Registry;
    fresh->pid = pid;
    fresh->parent = r;
    if (current.compare_exchange_strong(r, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
  }
}

int32_t open_checked(const std::string &name, std::string &path) {
  if (!valid_namespace_name(name)) return kInvalidArgument;
  ensure_curl_global();
  std::string folder = profiles_folder();
  if (!make_folders(folder) || !own_private_folder(halvane_folder()) || !own_private_folder(folder))
    return kInitializationFailed;
  path = folder + "/" + name + ".sqlite3";
  return kOk;
}

}  // namespace

bool valid_namespace_name(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string namespace_database_path(const std::string &name) {
  return profiles_folder() + "/" + name + ".sqlite3";
}

uint64_t disk_cache_bound() {
  const char *env = std::getenv("HALVANE_DISK_CACHE_BYTES");
  if (env == nullptr) return cache::kDiskBound;
  uint64_t v = 0;
  std::string_view s(env);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v == 0) return cache::kDiskBound;
  return v;
}

int32_t open_namespace(const std::string &name, const std::string &impersonate,
                       std::shared_ptr<Namespace> &out) try {
  std::string path;
  if (int32_t rc = open_checked(name, path); rc != kOk) return rc;
  Registry &reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto it = reg.open.find(path); it != reg.open.end()) {
    if (std::shared_ptr<NamespaceImpl> open = it->second.lock()) {
      if (open->binding() != impersonate) return kProfileConflict;
      out = std::move(open);
      return kOk;
    }
  }
  std::erase_if(reg.open, [](const auto &entry) { return entry.second.expired(); });
  std::shared_ptr<NamespaceImpl> p;
  if (int32_t rc = NamespaceImpl::open(path, impersonate, p); rc != kOk) return rc;
  reg.open.insert_or_assign(path, p);
  out = std::move(p);
  return kOk;
} catch (...) {
  return kInitializationFailed;
}

namespace testing {

void forget_open_namespaces() {
  Registry &reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.open.clear();
}

int32_t open_namespace_unshared(const std::string &name, const std::string &impersonate,
                                std::shared_ptr<Namespace> &out) {
  std::string path;
  if (int32_t rc = open_checked(name, path); rc != kOk) return rc;
  std::shared_ptr<NamespaceImpl> p;
  if (int32_t rc = NamespaceImpl::open(path, impersonate, p); rc != kOk) return rc;
  out = std::move(p);
  return kOk;
}

}  // namespace testing

}  // namespace hvcore
