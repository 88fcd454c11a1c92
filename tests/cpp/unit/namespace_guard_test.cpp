// Profile namespaces and what surrounds them: another process holding the
// database never makes a Core thread wait.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <thread>

#include "cookie_lines.h"
#include "core_thread.h"
#include "profile_test_support.h"

namespace hvcore {
namespace {

using namespace std::chrono_literals;
using testing::ProfileTest;

cache::StoredMeta ok_meta() {
  cache::StoredMeta m;
  m.status = 200;
  m.head = "HTTP/1.1 200 OK\r\n\r\n";
  return m;
}

bool put(Profile &p, const std::string &url) {
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

TEST_F(ProfileTest, CoreThreadsNeverWaitForALockedDatabase) {
  auto p = open("busy");
  ASSERT_TRUE(p);
  ASSERT_TRUE(put(*p, "http://a.test/older"));
  ASSERT_TRUE(put(*p, "http://a.test/newer"));
  WriteLock lock(profile_database_path("busy"));
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

}  // namespace
}  // namespace hvcore
