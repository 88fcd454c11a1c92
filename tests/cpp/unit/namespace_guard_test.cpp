// Profile namespaces and what surrounds them: another process holding the
// database never makes a Core thread wait, another program's database is
// refused without a byte, a file or a time stamp changed beside it, ours from
// before databases were marked is taken over, the state stays its owner's
// (folders 0700, files 0600, whatever the umask), and a namespace lives as
// long as its holders, its file checked again at the next opening.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "base/core_thread.h"
#include "namespace_test_support.h"
#include "namespaces/cookie_lines.h"

namespace hvcore {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::mode_of;
using testing::ProfileTest;
using testing::read_file;
using testing::run_sql;

constexpr int64_t kOurApplicationId = 0x48764e73;
// The meta table as our databases had it before they were marked.
const std::string kPreviousMeta =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL);"
    "INSERT INTO meta VALUES('schema', 1), ('profile', 'chrome_131'), ('cookie_version', 0);";

cache::StoredMeta ok_meta() {
  cache::StoredMeta m;
  m.status = 200;
  m.head = "HTTP/1.1 200 OK\r\n\r\n";
  return m;
}

bool put(Namespace &p, const std::string &url) {
  auto w = p.cache().begin(url, ok_meta());
  return w && w->append(reinterpret_cast<const uint8_t *>("body"), 4) && w->commit();
}

void on_a_core_thread(const std::function<void()> &fn) {
  std::thread([&] {
    mark_core_thread();
    fn();
  }).join();
}

// Holds the database's write lock, as another process would.
class WriteLock {
 public:
  explicit WriteLock(const std::string &path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~WriteLock() { release(); }
  void release() {
    if (db_ == nullptr) return;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }

 private:
  sqlite3 *db_ = nullptr;
};

class Umask {
 public:
  explicit Umask(mode_t mask) : old_(umask(mask)) {}
  ~Umask() { umask(old_); }

 private:
  mode_t old_;
};

int64_t pragma(const std::string &path, const std::string &name) {
  sqlite3 *db = nullptr;
  sqlite3_stmt *s = nullptr;
  int64_t value = -1;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, ("PRAGMA " + name).c_str(), -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    value = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  sqlite3_close(db);
  return value;
}

// A file's bytes, its modification time, and the names in its folder.
struct Snapshot {
  std::string bytes;
  int64_t mtime_ns = 0;
  std::set<std::string> folder;
};

Snapshot snapshot(const std::string &path) {
  Snapshot s;
  s.bytes = read_file(path);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0)
    s.mtime_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  for (const auto &entry : fs::directory_iterator(fs::path(path).parent_path()))
    s.folder.insert(entry.path().filename().string());
  return s;
}

TEST_F(ProfileTest, CoreThreadsNeverWaitForALockedDatabase) {
  auto p = open("busy");
  ASSERT_TRUE(p);
  ASSERT_TRUE(put(*p, "http://a.test/older"));
  ASSERT_TRUE(put(*p, "http://a.test/newer"));
  WriteLock lock(namespace_database_path("busy"));
  on_a_core_thread([&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(p->cache().lookup("http://a.test/older")) << "found; its use is not marked";
    EXPECT_FALSE(p->cache().begin("http://a.test/new", ok_meta())) << "not stored";
    EasyPtr e = easy_on(*p);
    store_set_cookie(e.get(), "http://a.test/", "late=1; Max-Age=3600");
    EXPECT_FALSE(p->save_cookies(e.get()));
    // Any one wait for the lock would last the opening's two seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  });
  EXPECT_TRUE(p->cookies_unsaved());

  lock.release();
  on_a_core_thread([&] {
    EasyPtr e = easy_on(*p);
    EXPECT_TRUE(p->save_cookies(e.get()));
  });
  EXPECT_FALSE(p->cookies_unsaved());
  auto later = open_unshared("busy");
  ASSERT_TRUE(later);
  EasyPtr e = easy_on(*later);
  EXPECT_EQ(cookie_header_for(e.get(), "http://a.test/"), "late=1");
}

TEST_F(ProfileTest, AnotherProgramsDatabaseIsRefusedUntouched) {
  struct Case {
    const char *name;
    std::string sql;
  } cases[] = {
      {"meta_of_another_program",
       "CREATE TABLE meta(key TEXT PRIMARY KEY, value); INSERT INTO meta VALUES('version', 3);"},
      {"our_keys_beside_another_table", kPreviousMeta + "CREATE TABLE notes(x);"},
      {"our_keys_and_cookies_of_another_shape",
       kPreviousMeta + "CREATE TABLE cookies(id INTEGER PRIMARY KEY, jar BLOB);"},
      {"another_application_id", "PRAGMA application_id=1234;" + kPreviousMeta},
      {"a_later_layout_of_ours", "PRAGMA application_id=" + std::to_string(kOurApplicationId) +
                                     "; PRAGMA user_version=99;" + kPreviousMeta},
      {"in_wal_mode", "PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(1);"},
      {"without_tables_in_wal_mode", "PRAGMA journal_mode=WAL; PRAGMA page_size=1024;"},
  };
  fs::create_directories(state_ + "/halvane/profiles");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = namespace_database_path(c.name);
    run_sql(path, c.sql);
    Snapshot before = snapshot(path);
    ASSERT_FALSE(before.bytes.empty());
    std::shared_ptr<Namespace> p;
    EXPECT_EQ(open_namespace(c.name, "chrome_131", p), kInitializationFailed);
    EXPECT_FALSE(p);
    Snapshot after = snapshot(path);
    EXPECT_TRUE(after.bytes == before.bytes);
    EXPECT_EQ(after.mtime_ns, before.mtime_ns);
    EXPECT_EQ(after.folder, before.folder) << "no -wal or -shm beside it";
  }
}

TEST_F(ProfileTest, ANamespaceLivesAsLongAsItsHolders) {
  auto first = open("held");
  ASSERT_TRUE(first);
  auto second = open("held");
  EXPECT_EQ(second, first);
  EasyPtr e = easy_on(*first);
  store_set_cookies(e.get(), "http://a.test/", {"session=1"});
  e.reset();
  first.reset();
  EXPECT_EQ(cookie_header_for(easy_on(*second).get(), "http://a.test/"), "session=1");
  second.reset();
  auto later = open("held");
  ASSERT_TRUE(later);
  EXPECT_EQ(cookie_header_for(easy_on(*later).get(), "http://a.test/"), "")
      << "session cookies went with the last holder";
  later.reset();

  // Its file is looked at again: one overwritten meanwhile is refused as it is.
  std::string path = namespace_database_path("held");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(4096, 'x');
  Snapshot before = snapshot(path);
  std::shared_ptr<Namespace> p;
  EXPECT_EQ(open_namespace("held", "", p), kInitializationFailed);
  EXPECT_FALSE(p);
  EXPECT_TRUE(snapshot(path).bytes == before.bytes);
}

TEST_F(ProfileTest, HoldersComingAndGoingOnThreadsOpenAndCloseCleanly) {
  // Last holders closing on some threads while others open the same name.
  constexpr int kThreads = 4, kRounds = 30;
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        std::shared_ptr<Namespace> p;
        if (open_namespace("churn", "", p) != kOk ||
            !put(*p, "http://a.test/" + std::to_string(t) + "/" + std::to_string(i)))
          failed.fetch_add(1);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  auto p = open("churn");
  ASSERT_TRUE(p);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i)
      EXPECT_TRUE(
          p->cache().lookup("http://a.test/" + std::to_string(t) + "/" + std::to_string(i)));
}

TEST_F(ProfileTest, OurDatabaseFromBeforeTheMarkIsTakenOver) {
  // As such a database is while another process uses it: in WAL mode, its
  // rows still only in the log.
  fs::create_directories(state_ + "/halvane/profiles");
  std::string path = namespace_database_path("previous");
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  const std::string sql =
      "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;" + kPreviousMeta +
      "CREATE TABLE cookies(domain TEXT NOT NULL, path TEXT NOT NULL, name TEXT NOT NULL,"
      " include_subdomains INTEGER NOT NULL, secure INTEGER NOT NULL,"
      " http_only INTEGER NOT NULL, expires INTEGER NOT NULL, value TEXT NOT NULL,"
      " PRIMARY KEY(domain, path, name));"
      "INSERT INTO cookies VALUES('a.test', '/', 'kept', 0, 0, 0, 4102444800, 'v');";
  ASSERT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);

  std::shared_ptr<Namespace> p;
  EXPECT_EQ(open_namespace("previous", "", p), kProfileConflict) << "its binding is read";
  p = open("previous", "chrome_131");
  ASSERT_TRUE(p);
  EasyPtr e = easy_on(*p);
  EXPECT_EQ(cookie_header_for(e.get(), "http://a.test/"), "kept=v");
  sqlite3_close(other);
  EXPECT_EQ(pragma(path, "application_id"), kOurApplicationId);
  EXPECT_EQ(pragma(path, "user_version"), 1);
}

TEST_F(ProfileTest, FilesAreTheOwnersAloneWhateverTheUmask) {
  for (mode_t mask : {mode_t{022}, mode_t{0277}, mode_t{0}}) {
    SCOPED_TRACE(mask);
    Umask scoped(mask);
    std::string name = "umask-" + std::to_string(mask);
    auto p = open(name);
    ASSERT_TRUE(p && put(*p, "http://a.test/"));
    std::string path = namespace_database_path(name);
    for (const char *suffix : {"", "-wal", "-shm"})
      EXPECT_EQ(mode_of(path + suffix), 0600) << suffix;
    EXPECT_EQ(mode_of(state_ + "/halvane"), 0700);
    EXPECT_EQ(mode_of(state_ + "/halvane/profiles"), 0700);
  }

  // A database of ours with the modes SQLite gave it before is narrowed.
  Umask scoped(022);
  ASSERT_TRUE(open("earlier"));
  testing::forget_open_namespaces();
  std::string path = namespace_database_path("earlier");
  for (const char *suffix : {"", "-wal", "-shm"})
    ASSERT_EQ(chmod((path + suffix).c_str(), 0644), 0) << suffix;
  ASSERT_TRUE(open("earlier"));
  for (const char *suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode_of(path + suffix), 0600) << suffix;

  // A database that is a link is not followed.
  fs::create_symlink(path, namespace_database_path("alias"));
  std::shared_ptr<Namespace> alias;
  EXPECT_EQ(open_namespace("alias", "", alias), kInitializationFailed);
}

TEST_F(ProfileTest, AWideFolderOfOursIsNarrowedThroughALink) {
  Umask scoped(022);
  std::string target = root_ + "/elsewhere";
  fs::create_directories(target);
  fs::create_directories(state_ + "/halvane");
  ASSERT_EQ(chmod(target.c_str(), 0755), 0);
  ASSERT_EQ(chmod((state_ + "/halvane").c_str(), 0755), 0);
  fs::create_directory_symlink(target, state_ + "/halvane/profiles");
  ASSERT_TRUE(open("linked"));
  EXPECT_EQ(mode_of(state_ + "/halvane"), 0700);
  EXPECT_EQ(mode_of(target), 0700);
  EXPECT_TRUE(fs::is_symlink(state_ + "/halvane/profiles"));
  EXPECT_TRUE(fs::exists(target + "/linked.sqlite3"));
}

TEST_F(ProfileTest, AnotherUsersFolderIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "making another user's folder takes root";
  std::string folder = state_ + "/halvane/profiles";
  fs::create_directories(folder);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  std::shared_ptr<Namespace> p;
  EXPECT_EQ(open_namespace("theirs", "", p), kInitializationFailed);
  EXPECT_FALSE(fs::exists(namespace_database_path("theirs")));
  EXPECT_EQ(mode_of(folder), 0755);
}

}  // namespace
}  // namespace hvcore
