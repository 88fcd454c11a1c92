// Profile namespaces: names, where their databases live, the impersonation
// profile they are bound to, refusing damaged or locked databases without
// touching them, and cookies and cache shared by "processes" (Profiles opened
// outside the registry) and by a forked child.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/codes.h"
#include "base/curl_handles.h"
#include "namespace_test_support.h"
#include "namespaces/cookie_lines.h"

namespace hvcore {
namespace {

namespace fs = std::filesystem;

using testing::mode_of;
using testing::ProfileTest;
using testing::read_file;
using testing::run_sql;

cache::StoredMeta ok_meta() {
  cache::StoredMeta m;
  m.status = 200;
  m.head = "HTTP/1.1 200 OK\r\n\r\n";
  return m;
}

TEST_F(ProfileTest, NamesAreCheckedBeforeAnythingIsCreated) {
  struct Case {
    std::string name;
    bool valid;
  } cases[] = {
      {"a", true},
      {"work-1.profile_B", true},
      {std::string(64, 'x'), true},
      {"a.", true},
      {"", false},
      {std::string(65, 'x'), false},
      {".hidden", false},
      {"..", false},
      {"a/b", false},
      {"a b", false},
      {"ü", false},
      {std::string("a\0b", 3), false},
      {"a:b", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(valid_namespace_name(c.name), c.valid);
    if (c.valid) continue;
    std::shared_ptr<Namespace> p;
    EXPECT_EQ(open_namespace(c.name, "", p), kInvalidArgument);
    EXPECT_FALSE(p);
  }
  EXPECT_FALSE(fs::exists(state_)) << "nothing created for a bad name";
}

TEST_F(ProfileTest, DatabaseLivesInAPrivateFolderOfTheStateHome) {
  auto p = open("main");
  ASSERT_TRUE(p);
  std::string path = namespace_database_path("main");
  EXPECT_EQ(path, state_ + "/halvane/profiles/main.sqlite3");
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(mode_of(state_ + "/halvane"), 0700);
  EXPECT_EQ(mode_of(state_ + "/halvane/profiles"), 0700);
  EXPECT_EQ(open("main"), p) << "one Namespace per namespace in the process";

  // Without a usable XDG_STATE_HOME, the state home is under HOME; the
  // environment is read at each opening.
  std::string home = root_ + "/home";
  fs::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  for (const char *xdg : {"", "relative/path"}) {
    setenv("XDG_STATE_HOME", xdg, 1);
    EXPECT_EQ(namespace_database_path("main"),
              home + "/.local/state/halvane/profiles/main.sqlite3");
  }
  unsetenv("XDG_STATE_HOME");
  auto q = open("main");
  ASSERT_TRUE(q);
  EXPECT_NE(q, p) << "another path, another namespace";
  EXPECT_TRUE(fs::exists(home + "/.local/state/halvane/profiles/main.sqlite3"));
}

TEST_F(ProfileTest, ANamespaceStaysBoundToItsFirstImpersonationProfile) {
  auto p = open("bound", "chrome_131");
  ASSERT_TRUE(p);
  std::shared_ptr<Namespace> other;
  EXPECT_EQ(open_namespace("bound", "", other), kProfileConflict);
  EXPECT_EQ(open_namespace("bound", "chrome_120", other), kProfileConflict);
  EXPECT_FALSE(other);
  EXPECT_EQ(open("bound", "chrome_131"), p);

  // No profile is a binding too.
  ASSERT_TRUE(open("plain", ""));
  EXPECT_EQ(open_namespace("plain", "chrome_131", other), kProfileConflict);

  // A new run finds the bindings in the databases.
  testing::forget_open_namespaces();
  p.reset();
  EXPECT_EQ(open_namespace("bound", "", other), kProfileConflict);
  EXPECT_EQ(open_namespace("plain", "chrome_131", other), kProfileConflict);
  EXPECT_TRUE(open("bound", "chrome_131"));
  EXPECT_EQ(testing::open_namespace_unshared("plain", "firefox_1", other), kProfileConflict);
}

TEST_F(ProfileTest, DamagedDatabasesAreRefusedAndLeftAsTheyWere) {
  // A real database with enough pages to cut short, checkpointed so that the
  // file holds everything.
  {
    auto p = open("source");
    ASSERT_TRUE(p);
    for (int i = 0; i < 40; ++i) {
      auto w = p->cache().begin("http://a.test/" + std::to_string(i), ok_meta());
      std::string body(3000, 'b');
      ASSERT_TRUE(w && w->append(reinterpret_cast<const uint8_t *>(body.data()), body.size()) &&
                  w->commit());
    }
  }
  testing::forget_open_namespaces();
  std::string source = namespace_database_path("source");
  run_sql(source, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
  std::string whole = read_file(source);
  ASSERT_GT(whole.size(), 40000u);

  struct Case {
    const char *name;
    std::string bytes;
  } cases[] = {
      {"text", "this is not a database, just some text that is long enough to look at\n"},
      {"short", whole.substr(0, 50)},
      {"header_only", whole.substr(0, 100)},
      {"half_page", whole.substr(0, 6000)},
      {"half", whole.substr(0, (whole.size() / 2) / 4096 * 4096)},
      {"zeroed", std::string(whole.size(), '\0')},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = namespace_database_path(c.name);
    { std::ofstream(path, std::ios::binary) << c.bytes; }
    std::shared_ptr<Namespace> p;
    EXPECT_EQ(open_namespace(c.name, "", p), kInitializationFailed);
    EXPECT_FALSE(p);
    EXPECT_EQ(read_file(path), c.bytes);
  }

  // Another program's database is not taken over either.
  std::string foreign = namespace_database_path("foreign");
  run_sql(foreign, "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
  std::string before = read_file(foreign);
  std::shared_ptr<Namespace> p;
  EXPECT_EQ(open_namespace("foreign", "", p), kInitializationFailed);
  EXPECT_EQ(read_file(foreign), before);

  // The intact copy opens, and an empty file is a new database.
  { std::ofstream(namespace_database_path("copy"), std::ios::binary) << whole; }
  auto copy = open("copy");
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->cache().lookup("http://a.test/7"));
  { std::ofstream(namespace_database_path("empty"), std::ios::binary); }
  EXPECT_TRUE(open("empty"));
}

TEST_F(ProfileTest, ALockedDatabaseFailsWithinTheBusyTimeout) {
  ASSERT_TRUE(open("locked"));
  testing::forget_open_namespaces();
  std::string path = namespace_database_path("locked");
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE; INSERT INTO meta VALUES('x', 1);", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  std::string before = read_file(path);
  auto start = std::chrono::steady_clock::now();
  std::shared_ptr<Namespace> p;
  EXPECT_EQ(open_namespace("locked", "", p), kInitializationFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(read_file(path), before);
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_TRUE(open("locked"));
}

std::optional<CookieLine> jar_find(CURL *easy, const std::string &name) {
  for (auto &c : jar_cookies(easy))
    if (c.name == name) return c;
  return std::nullopt;
}

TEST_F(ProfileTest, PersistentCookiesTravelBetweenProcessesSessionCookiesDoNot) {
  auto a = open_unshared("jar");
  auto b = open_unshared("jar");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->share(), b->share());
  auto ea = easy_on(*a), eb = easy_on(*b);

  store_set_cookie(ea.get(), "https://a.test/", "keep=1; Max-Age=3600; Secure; HttpOnly");
  store_set_cookie(ea.get(), "https://a.test/", "session=1");
  a->save_cookies(ea.get());
  b->load_cookies(eb.get());
  auto keep = jar_find(eb.get(), "keep");
  ASSERT_TRUE(keep);
  EXPECT_EQ(keep->value, "1");
  EXPECT_TRUE(keep->secure);
  EXPECT_TRUE(keep->http_only);
  EXPECT_FALSE(jar_find(eb.get(), "session"));

  // Changes and deletions travel back.
  store_set_cookie(eb.get(), "https://a.test/", "keep=2; Max-Age=3600");
  store_set_cookie(eb.get(), "https://a.test/", "other=x; Max-Age=3600; Domain=a.test");
  b->save_cookies(eb.get());
  a->load_cookies(ea.get());
  EXPECT_EQ(jar_find(ea.get(), "keep")->value, "2");
  EXPECT_EQ(jar_find(ea.get(), "other")->value, "x");
  EXPECT_TRUE(jar_find(ea.get(), "session")) << "a's own session cookie stays";

  store_set_cookie(eb.get(), "https://a.test/", "keep=; Max-Age=0");
  b->save_cookies(eb.get());
  a->load_cookies(ea.get());
  EXPECT_FALSE(jar_find(ea.get(), "keep"));
  EXPECT_TRUE(jar_find(ea.get(), "other"));

  // A cookie that turns into a session cookie is no longer stored.
  store_set_cookie(ea.get(), "https://a.test/", "other=y; Domain=a.test");
  a->save_cookies(ea.get());

  // A later run loads what is stored and unexpired, nothing else.
  run_sql(namespace_database_path("jar"),
          "INSERT INTO cookies VALUES('a.test', '/', 'stale', 0, 0, 0, 1000, 'v');"
          "INSERT INTO cookies VALUES('a.test', '/', 'fresh', 0, 0, 0, 4102444800, 'v');");
  ea.reset();
  eb.reset();
  a.reset();
  b.reset();
  auto c = open("jar");
  auto ec = easy_on(*c);
  std::string header = cookie_header_for(ec.get(), "https://a.test/");
  EXPECT_EQ(header, "fresh=v");
}

TEST_F(ProfileTest, CookieJarIsSafeFromSeveralThreads) {
  auto p = open("threads");
  auto q = open_unshared("threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Namespace &prof = t % 2 == 0 ? *p : *q;
      EasyPtr e = easy_on(prof);
      for (int i = 0; i < 30; ++i) {
        prof.load_cookies(e.get());
        store_set_cookie(e.get(), "http://a.test/",
                         "t" + std::to_string(t) + "=" + std::to_string(i) + "; Max-Age=600");
        prof.save_cookies(e.get());
        cookie_header_for(e.get(), "http://a.test/");
      }
    });
  }
  for (auto &th : threads) th.join();
  auto ep = easy_on(*p), eq = easy_on(*q);
  p->load_cookies(ep.get());
  q->load_cookies(eq.get());
  for (int t = 0; t < 4; ++t) {
    std::string name = "t" + std::to_string(t);
    auto cp = jar_find(ep.get(), name), cq = jar_find(eq.get(), name);
    ASSERT_TRUE(cp && cq) << name;
    EXPECT_EQ(cp->value, "29");
    EXPECT_EQ(cq->value, "29");
  }
}

TEST_F(ProfileTest, TheDiskCacheIsSharedAndBoundedByTheEnvironment) {
  setenv("HALVANE_DISK_CACHE_BYTES", "8000", 1);
  EXPECT_EQ(disk_cache_bound(), 8000u);
  auto a = open_unshared("cache");
  auto b = open_unshared("cache");
  auto put = [](Namespace &p, const std::string &url, size_t n) {
    auto w = p.cache().begin(url, ok_meta());
    std::string body(n, 'c');
    return w && w->append(reinterpret_cast<const uint8_t *>(body.data()), body.size()) &&
           w->commit();
  };
  EXPECT_TRUE(put(*a, "http://a.test/1", 900));
  EXPECT_FALSE(put(*a, "http://a.test/2", 1000)) << "over an eighth of the bound";
  auto e = b->cache().lookup("http://a.test/1");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->body_size, 900u);
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(put(*b, "http://a.test/x" + std::to_string(i), 900));
  EXPECT_LE(a->cache().size(), 8000u);

  // A write left incomplete an hour ago by a process that died goes at the
  // next opening; a recent one stays.
  auto w = a->cache().begin("http://a.test/crash", ok_meta());
  auto w2 = a->cache().begin("http://a.test/slow", ok_meta());
  ASSERT_TRUE(w && w2);
  run_sql(namespace_database_path("cache"),
          "UPDATE cache_entries SET created=created-4000 WHERE url='http://a.test/crash'");
  ASSERT_TRUE(open_unshared("cache"));
  EXPECT_FALSE(w->commit());
  EXPECT_TRUE(w2->commit());

  for (const char *bad : {"", "0", "12abc", "-5"}) {
    setenv("HALVANE_DISK_CACHE_BYTES", bad, 1);
    EXPECT_EQ(disk_cache_bound(), cache::kDiskBound) << bad;
  }
}

TEST_F(ProfileTest, AForkedChildOpensItsOwnProfile) {
  auto parent = open("forked");
  ASSERT_TRUE(parent);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::shared_ptr<Namespace> child;
    int code = open_namespace("forked", "", child) != kOk ? 1
               : child == parent                          ? 2
               : child->share() == parent->share()        ? 3
                                                          : 0;
    if (code == 0) {
      auto w = child->cache().begin("http://a.test/child", ok_meta());
      code = w && w->append(reinterpret_cast<const uint8_t *>("kid"), 3) && w->commit() ? 0 : 4;
    }
    _exit(code);  // leaves the parent's connection alone
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto e = parent->cache().lookup("http://a.test/child");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->body_size, 3u);
}

}  // namespace
}  // namespace hvcore
