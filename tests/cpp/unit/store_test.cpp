// The cache stores, memory and disk, held to the same contract: entries
// appear at commit, replace the URL's previous one, stay within the bound by
// evicting the least recently used, and survive concurrent use.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include "cache/cache_disk.h"
#include "cache/cache_store.h"

namespace hvcore::cache {
namespace {

namespace fs = std::filesystem;

StoredMeta meta_for(const std::string &tag, size_t head_bytes = 0) {
  StoredMeta m;
  m.status = 200;
  m.head = "HTTP/1.1 200 OK\r\nX-Tag: " + tag + "\r\n";
  if (m.head.size() + 2 < head_bytes) m.head += std::string(head_bytes - m.head.size() - 2, 'h');
  m.head += "\r\n";
  m.request_time = 1000;
  m.response_time = 1001;
  return m;
}

bool put(Store &s, const std::string &url, const StoredMeta &meta, const std::string &body) {
  auto w = s.begin(url, meta);
  if (!w) return false;
  if (!w->append(reinterpret_cast<const uint8_t *>(body.data()), body.size())) return false;
  return w->commit();
}

bool put(Store &s, const std::string &url, const std::string &tag, const std::string &body) {
  auto w = s.begin(url, meta_for(tag));
  if (!w) return false;
  if (!w->append(reinterpret_cast<const uint8_t *>(body.data()), body.size())) return false;
  return w->commit();
}

// Bytes `from` to `size` of a body.
std::string read_all(BodyReader &r, uint64_t size, size_t step = 1 << 20, uint64_t from = 0) {
  std::string out;
  while (from + out.size() < size) {
    size_t before = out.size();
    if (!r.read(from + out.size(), step, out) || out.size() == before) return "<read failed>";
  }
  return out;
}

// The body stored under `url`, or "<none>".
std::string body_of(Store &s, const std::string &url) {
  auto e = s.lookup(url);
  if (!e) return "<none>";
  return read_all(*e->body, e->body_size);
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "hv-store-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempFolder() { fs::remove_all(path_); }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

std::shared_ptr<sql::Connection> open_db(const std::string &path) {
  int rc = 0;
  auto db = sql::Connection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, rc);
  if (db == nullptr) return nullptr;
  sqlite3_busy_timeout(db->get(), 2000);
  db->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
  if (!create_disk_tables(*db)) return nullptr;
  return db;
}

enum class Kind { Memory, Disk };

class StoreTest : public ::testing::TestWithParam<Kind> {
 protected:
  std::shared_ptr<Store> make(uint64_t bound) {
    if (GetParam() == Kind::Memory) return make_memory_store(bound);
    db_ = open_db(folder_.path() + "/cache.sqlite3");
    if (db_ == nullptr) return nullptr;
    return make_disk_store(db_, bound);
  }

  // What an entry counts against the bound; on disk the URL also fills its
  // index.
  uint64_t cost(const std::string &url, const StoredMeta &meta, uint64_t body) const {
    return entry_bytes(url, meta) + body + (GetParam() == Kind::Disk ? url.size() : 0);
  }

  TempFolder folder_;
  std::shared_ptr<sql::Connection> db_;
};

TEST_P(StoreTest, EntryAppearsAtCommitAndReplacesThePreviousOne) {
  auto s = make(1 << 20);
  ASSERT_TRUE(s);
  const std::string url = "http://a.test/x";

  auto w = s->begin(url, meta_for("one"));
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->append(reinterpret_cast<const uint8_t *>("hello"), 5));
  EXPECT_FALSE(s->lookup(url)) << "visible before commit";
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(body_of(*s, url), "hello");

  // A second writer leaves the first entry in place until it commits.
  auto w2 = s->begin(url, meta_for("two"));
  ASSERT_TRUE(w2->append(reinterpret_cast<const uint8_t *>("world!"), 6));
  EXPECT_EQ(body_of(*s, url), "hello");
  ASSERT_TRUE(w2->commit());
  auto e = s->lookup(url);
  ASSERT_TRUE(e);
  EXPECT_NE(e->meta.head.find("X-Tag: two"), std::string::npos);
  EXPECT_EQ(read_all(*e->body, e->body_size), "world!");
  EXPECT_EQ(s->size(), cost(url, e->meta, 6));

  // A writer dropped without commit leaves nothing.
  {
    auto w3 = s->begin(url, meta_for("three"));
    ASSERT_TRUE(w3->append(reinterpret_cast<const uint8_t *>("lost"), 4));
  }
  EXPECT_EQ(body_of(*s, url), "world!");

  // An empty body is a body.
  ASSERT_TRUE(put(*s, "http://a.test/empty", "e", ""));
  auto empty = s->lookup("http://a.test/empty");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->body_size, 0u);
  std::string out;
  EXPECT_TRUE(empty->body->read(0, 10, out));
  EXPECT_EQ(out, "");

  s->remove(url);
  EXPECT_FALSE(s->lookup(url));
  s->remove(url);  // twice is harmless
}

TEST_P(StoreTest, UpdateReplacesTheHeadAndKeepsTheBody) {
  auto s = make(1 << 20);
  ASSERT_TRUE(put(*s, "http://a.test/u", "old", "body-bytes"));
  StoredMeta m = meta_for("fresh", 300);
  m.status = 203;
  m.request_time = 5000;
  m.response_time = 5001;
  m.vary = {{"accept-encoding", "gzip"}, {"x-empty", ""}};
  auto before = s->lookup("http://a.test/u");
  ASSERT_TRUE(before);
  EXPECT_TRUE(s->update("http://a.test/u", before->id, m));
  EXPECT_FALSE(s->update("http://a.test/missing", before->id, m));  // nothing to update
  auto e = s->lookup("http://a.test/u");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->meta.status, 203);
  EXPECT_EQ(e->meta.head, m.head);
  EXPECT_EQ(e->meta.request_time, 5000);
  EXPECT_EQ(e->meta.response_time, 5001);
  ASSERT_EQ(e->meta.vary.size(), 2u);
  EXPECT_EQ(e->meta.vary[0].name, "accept-encoding");
  EXPECT_EQ(e->meta.vary[0].value, "gzip");
  EXPECT_EQ(e->meta.vary[1].name, "x-empty");
  EXPECT_EQ(e->meta.vary[1].value, "");
  EXPECT_EQ(read_all(*e->body, e->body_size), "body-bytes");
  EXPECT_EQ(e->id, before->id);
  EXPECT_EQ(s->size(), cost("http://a.test/u", m, 10));
  EXPECT_FALSE(s->lookup("http://a.test/missing"));
}

// A 304 that arrives after the URL's entry was replaced, or removed and
// stored again, renews nothing: the head it carries belongs to the older
// response, whose body is no longer the stored one.
TEST_P(StoreTest, UpdateRenewsOnlyTheEntryItNames) {
  auto s = make(1 << 20);
  const std::string url = "http://a.test/v";
  for (bool removed_between : {false, true}) {
    ASSERT_TRUE(put(*s, url, "1", "first"));
    auto first = s->lookup(url);
    ASSERT_TRUE(first);
    if (removed_between) s->remove(url);
    ASSERT_TRUE(put(*s, url, "2", "second, longer"));
    EXPECT_FALSE(s->update(url, first->id, meta_for("1-renewed")));
    auto e = s->lookup(url);
    ASSERT_TRUE(e);
    EXPECT_NE(e->id, first->id);
    EXPECT_NE(e->meta.head.find("X-Tag: 2\r\n"), std::string::npos) << e->meta.head;
    EXPECT_EQ(read_all(*e->body, e->body_size), "second, longer");
    // The entry stored now takes an update that names it.
    EXPECT_TRUE(s->update(url, e->id, meta_for("2-renewed")));
    EXPECT_NE(s->lookup(url)->meta.head.find("X-Tag: 2-renewed"), std::string::npos);
    s->remove(url);
  }
}

// The bound counts what makes an entry's key: a long URL with a tiny body
// costs its URL, on disk twice (row and index).
TEST_P(StoreTest, TheBoundCountsUrlsAndVaryFields) {
  const uint64_t bound = 1 << 20;
  auto s = make(bound);
  auto url = [](int i) {
    return "http://a.test/" + std::to_string(i) + "?" + std::string(32768, 'q');
  };
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(put(*s, url(i), "x", "ten bytes."));
    ASSERT_LE(s->size(), bound) << i;
  }
  EXPECT_TRUE(s->lookup(url(99)));
  EXPECT_FALSE(s->lookup(url(0)));
  if (db_) {
    // What the database holds follows what the store counts.
    int64_t pages = 0, free_pages = 0, page_size = 0;
    ASSERT_TRUE(sql::query_int(*db_, "PRAGMA page_count", pages));
    ASSERT_TRUE(sql::query_int(*db_, "PRAGMA freelist_count", free_pages));
    ASSERT_TRUE(sql::query_int(*db_, "PRAGMA page_size", page_size));
    EXPECT_LE(static_cast<uint64_t>((pages - free_pages) * page_size), bound + bound / 4);
  }

  // Vary fields count as well, and a key alone over an eighth is refused.
  StoredMeta m = meta_for("v");
  m.vary = {{"x-long", std::string(1000, 'v')}};
  auto w = s->begin("http://a.test/vary", m);
  ASSERT_TRUE(w && w->commit());
  auto e = s->lookup("http://a.test/vary");
  ASSERT_TRUE(e);
  EXPECT_EQ(entry_bytes("http://a.test/vary", e->meta),
            entry_bytes("http://a.test/vary", meta_for("v")) + 1006);
  EXPECT_FALSE(s->begin("http://a.test/" + std::string(bound / 8, 'u'), meta_for("u")));
}

TEST_P(StoreTest, AnEntryOverAnEighthOfTheBoundIsRefused) {
  const uint64_t bound = 80000;  // entries up to 10000 bytes, head included
  auto s = make(bound);
  StoredMeta m = meta_for("big");
  auto w = s->begin("http://a.test/big", m);
  ASSERT_TRUE(w);
  std::string chunk(1000, 'x');
  size_t appended = 0;
  bool ok = true;
  while (ok && appended < 20000) {
    ok = w->append(reinterpret_cast<const uint8_t *>(chunk.data()), chunk.size());
    if (ok) appended += chunk.size();
  }
  EXPECT_FALSE(ok);
  EXPECT_LE(cost("http://a.test/big", m, appended), bound / 8);
  EXPECT_GT(cost("http://a.test/big", m, appended + chunk.size()), bound / 8);
  EXPECT_FALSE(w->append(reinterpret_cast<const uint8_t *>("x"), 1)) << "the writer stays dead";
  EXPECT_FALSE(w->commit());
  EXPECT_FALSE(s->lookup("http://a.test/big"));
  EXPECT_EQ(s->size(), 0u);

  // Exactly at the limit is fine; a head alone over it is refused at once.
  std::string fits(bound / 8 - cost("http://a.test/fits", m, 0), 'y');
  EXPECT_TRUE(put(*s, "http://a.test/fits", "big", fits));
  EXPECT_FALSE(s->begin("http://a.test/head", meta_for("h", bound / 8 + 1)));
}

TEST_P(StoreTest, EvictsTheLeastRecentlyUsedAndNeverExceedsTheBound) {
  const uint64_t bound = 4000;  // entries up to 500 bytes
  auto s = make(bound);
  auto url = [](int i) { return "http://a.test/" + std::to_string(i); };
  size_t fit = bound / cost(url(0), meta_for("0"), 400);
  for (size_t i = 0; i < fit; ++i) {
    ASSERT_TRUE(put(*s, url(i), std::to_string(i % 10), std::string(400, 'a' + i % 26)));
    EXPECT_LE(s->size(), bound);
  }
  for (size_t i = 0; i < fit; ++i) ASSERT_TRUE(s->lookup(url(i))) << i;
  // Use the oldest again: entry 1 becomes the least recently used.
  ASSERT_TRUE(s->lookup(url(0)));
  ASSERT_TRUE(put(*s, url(100), "1", std::string(400, 'z')));
  EXPECT_LE(s->size(), bound);
  EXPECT_TRUE(s->lookup(url(0)));
  EXPECT_FALSE(s->lookup(url(1)));
  EXPECT_TRUE(s->lookup(url(2)));
  EXPECT_EQ(body_of(*s, url(100)), std::string(400, 'z'));

  // A larger update evicts others, not the entry updated.
  auto third = s->lookup(url(3));
  ASSERT_TRUE(third);
  EXPECT_TRUE(s->update(url(3), third->id, meta_for("3", 450)));
  EXPECT_LE(s->size(), bound);
  EXPECT_TRUE(s->lookup(url(3)));

  // Many more: the bound holds after every commit.
  for (int i = 200; i < 260; ++i) {
    ASSERT_TRUE(put(*s, url(i), "x", std::string(50 + i % 300, 'q')));
    ASSERT_LE(s->size(), bound);
  }
  EXPECT_TRUE(s->lookup(url(259)));
}

TEST_P(StoreTest, ConcurrentWritersAndReadersSeeWholeEntries) {
  const uint64_t bound = 64 * 1024;
  auto s = make(bound);
  std::atomic<bool> bad{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        std::string url = "http://a.test/" + std::to_string(i % 7);
        // Each body repeats one byte, so a torn one shows.
        char c = static_cast<char>('a' + (t * 150 + i) % 26);
        std::string tag(1, c);
        switch (i % 4) {
          case 0:
          case 1:
            put(*s, url, tag, std::string(100 + 37 * i, c));
            break;
          case 2: {
            auto e = s->lookup(url);
            if (!e || e->body_size == 0) break;
            std::string body;
            if (!e->body->read(0, e->body_size, body) || body != std::string(e->body_size, body[0]))
              bad = true;
            break;
          }
          default:
            if (i % 8 == 3) {
              s->remove(url);
            } else if (auto e = s->lookup(url)) {
              s->update(url, e->id, meta_for(tag));
            }
            break;
        }
        if (s->size() > bound) bad = true;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_FALSE(bad);
}

TEST_P(StoreTest, PartialEntriesKeepTheirRanges) {
  auto s = make(1 << 20);
  ASSERT_TRUE(s);
  const std::string url = "http://a.test/ranges";
  StoredMeta m = meta_for("part");
  m.status = 206;
  m.parts = {{0, 3}, {10, 12}};
  m.length = 20;
  ASSERT_TRUE(put(*s, url, m, "abcde"));
  auto e = s->lookup(url);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->meta.parts, m.parts);
  EXPECT_EQ(e->meta.length, 20u);
  // An update (a 304, a HEAD) keeps them; a complete response replaces them.
  ASSERT_TRUE(s->update(url, e->id, e->meta));
  EXPECT_EQ(s->lookup(url)->meta.parts, m.parts);
  ASSERT_TRUE(put(*s, url, "whole", "abcdefghij"));
  EXPECT_TRUE(s->lookup(url)->meta.parts.empty());
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values(Kind::Memory, Kind::Disk),
                         [](const auto &info) {
                           return info.param == Kind::Memory ? "Memory" : "Disk";
                         });

TEST(MemoryStoreTest, ReaderKeepsItsBodyWhenTheEntryIsReplacedOrEvicted) {
  auto s = make_memory_store(8000);
  ASSERT_TRUE(put(*s, "http://a.test/r", "1", "first body"));
  auto e = s->lookup("http://a.test/r");
  ASSERT_TRUE(e);
  ASSERT_TRUE(put(*s, "http://a.test/r", "2", "second body"));
  for (int i = 0; i < 40; ++i)
    put(*s, "http://a.test/" + std::to_string(i), "x", std::string(900, 'x'));
  EXPECT_FALSE(s->lookup("http://a.test/r"));
  std::string out;
  EXPECT_TRUE(e->body->read(6, 100, out));
  EXPECT_EQ(out, "body");
  EXPECT_TRUE(e->body->read(10, 100, out)) << "reading at the end";
  EXPECT_EQ(out, "body");
  EXPECT_FALSE(e->body->read(11, 100, out)) << "reading past the end";
}

class DiskStoreTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::string path_ = folder_.path() + "/cache.sqlite3";
};

int64_t count(sql::Connection &db, const char *sql) {
  int64_t n = -1;
  EXPECT_TRUE(sql::query_int(db, sql, n)) << sql;
  return n;
}

std::string numbered_body(size_t size) {
  std::string body;
  for (int i = 0; body.size() < size; ++i) body += std::to_string(i) + ",";
  return body;
}

bool put_body(Store &s, const std::string &url, const std::string &tag, const std::string &body) {
  auto w = s.begin(url, meta_for(tag));
  if (!w) return false;
  // Appends of odd sizes, as a transfer delivers them.
  for (size_t off = 0; off < body.size(); off += 16381)
    if (!w->append(reinterpret_cast<const uint8_t *>(body.data()) + off,
                   std::min<size_t>(16381, body.size() - off)))
      return false;
  return w->commit();
}

TEST_F(DiskStoreTest, LargeBodiesStreamInChunksAndAReplacedOneIsReadToItsEnd) {
  auto db = open_db(path_);
  auto s = make_disk_store(db, 64 << 20);
  ASSERT_TRUE(s);
  const std::string body = numbered_body(700 * 1024);
  ASSERT_TRUE(put_body(*s, "http://a.test/big", "big", body));
  EXPECT_EQ(count(*db, "SELECT count(*) FROM cache_chunks"), 3);  // 256 KiB, 256 KiB, the rest

  auto e = s->lookup("http://a.test/big");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->body_size, body.size());
  std::string piece;
  ASSERT_TRUE(e->body->read(262140, 10, piece));  // across a row boundary: a short read is fine
  ASSERT_TRUE(e->body->read(262140 + piece.size(), 10 - piece.size(), piece));
  EXPECT_EQ(piece, body.substr(262140, 10));

  // Replaced while it is read, the body stays for its reader, then goes.
  std::string first;
  ASSERT_TRUE(e->body->read(0, 100000, first));
  ASSERT_TRUE(put(*s, "http://a.test/big", "small", "tiny"));
  EXPECT_EQ(body_of(*s, "http://a.test/big"), "tiny");
  std::string rest = read_all(*e->body, e->body_size, 100000, first.size());
  EXPECT_TRUE(first + rest == body) << rest.substr(0, 40);
  EXPECT_EQ(count(*db, "SELECT count(*) FROM cache_entries WHERE complete=2"), 1);
  e.reset();
  EXPECT_EQ(count(*db, "SELECT count(*) FROM cache_chunks"), 1);
  EXPECT_EQ(count(*db, "SELECT count(*) FROM cache_entries"), 1);
  EXPECT_EQ(count(*db, "SELECT count(*) FROM cache_readers"), 0);
}

// Another process (here another connection) replaces, removes or evicts the
// entry a reader is in the middle of; the reader finishes it, and the last
// reader to go takes the body with it.
TEST_F(DiskStoreTest, AReaderFinishesItsBodyWhateverAnotherProcessDoes) {
  auto db1 = open_db(path_);
  auto db2 = open_db(path_);
  const uint64_t bound = 4 << 20;  // entries up to 512 KiB
  auto s1 = make_disk_store(db1, bound);
  auto s2 = make_disk_store(db2, bound);
  const std::string body = numbered_body(400 * 1024);
  const std::string url = "http://a.test/read";
  const std::vector<std::pair<const char *, std::function<void()>>> takers = {
      {"replace", [&] { ASSERT_TRUE(put(*s2, url, "new", "new body")); }},
      {"remove", [&] { s2->remove(url); }},
      {"evict",
       [&] {
         for (int i = 0; i < 12; ++i)
           ASSERT_TRUE(put_body(*s2, "http://a.test/fill" + std::to_string(i), "f", body));
         ASSERT_LE(s2->size(), bound);
       }},
  };
  for (const auto &[name, take] : takers) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(put_body(*s2, url, "old", body));
    auto e = s1->lookup(url);
    auto twice = s2->lookup(url);  // a second reader, in the other process
    ASSERT_TRUE(e && twice);
    std::string first;
    ASSERT_TRUE(e->body->read(0, 300000, first));
    take();
    std::string rest = read_all(*e->body, e->body_size, 300000, first.size());
    EXPECT_TRUE(first + rest == body) << rest.substr(0, 40);
    e.reset();
    EXPECT_TRUE(read_all(*twice->body, twice->body_size) == body);
    twice.reset();
    EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_entries WHERE complete<>1"), 0);
    EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_readers"), 0);
    EXPECT_EQ(count(*db1,
                    "SELECT count(*) FROM cache_chunks WHERE entry NOT IN "
                    "(SELECT id FROM cache_entries)"),
              0);
  }
}

// A reader whose process died leaves its lease; once the lease has run out,
// the next commit, or the next opening of the namespace, clears it with the
// retired entry it held.
TEST_F(DiskStoreTest, LeasesOfDeadReadersRunOutAndTheirEntriesGo) {
  auto db1 = open_db(path_);
  auto db2 = open_db(path_);
  auto s1 = make_disk_store(db1, 64 << 20);
  auto s2 = make_disk_store(db2, 64 << 20);
  const std::string body = numbered_body(300 * 1024);
  for (bool at_opening : {false, true}) {
    SCOPED_TRACE(at_opening ? "at opening" : "at commit");
    ASSERT_TRUE(put_body(*s1, "http://a.test/dead", "old", body));
    auto held = s2->lookup("http://a.test/dead");  // the reader that will "die"
    ASSERT_TRUE(held);
    ASSERT_TRUE(put(*s1, "http://a.test/dead", "new", "new"));
    ASSERT_TRUE(put(*s1, "http://a.test/other", "o", "o"));
    EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_entries WHERE complete=2"), 1)
        << "a running lease keeps its entry";
    ASSERT_EQ(db1->exec("UPDATE cache_readers SET expires=expires-7200"), SQLITE_OK);
    if (at_opening)
      ASSERT_TRUE(remove_abandoned_writes(*db1, std::time(nullptr) - 3600));
    else
      ASSERT_TRUE(put(*s1, "http://a.test/other", "o", "o"));
    EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_entries WHERE complete=2"), 0);
    EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_readers"), 0);
    EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_chunks"), 2);
    held.reset();  // had it lived after all: nothing left to release
    EXPECT_EQ(body_of(*s2, "http://a.test/dead"), "new");
  }
}

// Threads of two processes read, replace and remove large bodies of a few
// URLs: every read finishes whole, and nothing stays behind.
TEST_F(DiskStoreTest, ConcurrentReadersOfLargeBodiesFinishThem) {
  auto db1 = open_db(path_);
  auto db2 = open_db(path_);
  const uint64_t bound = 8 << 20;
  std::shared_ptr<Store> stores[] = {make_disk_store(db1, bound), make_disk_store(db2, bound)};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Store &s = *stores[t % 2];
      for (int i = 0; i < 24; ++i) {
        std::string url = "http://a.test/" + std::to_string(i % 3);
        char c = static_cast<char>('a' + (t * 24 + i) % 26);
        if (i % 3 == 0) {
          put_body(s, url, std::string(1, c), std::string(70000 + 4099 * i, c));
        } else if (i % 7 == 5) {
          s.remove(url);
        } else if (auto e = s.lookup(url)) {
          std::string body = read_all(*e->body, e->body_size, 50000);
          if (body != std::string(e->body_size, body[0])) ++bad;
        }
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_entries WHERE complete<>1"), 0);
  EXPECT_EQ(count(*db1, "SELECT count(*) FROM cache_readers"), 0);
}

// Set-Cookie belongs to the response that carried it: the disk keeps heads
// without it, so that it never reaches the file or another process.
TEST_F(DiskStoreTest, HeadsAreStoredWithoutSetCookie) {
  auto db = open_db(path_);
  auto s = make_disk_store(db, 1 << 20);
  auto with_cookies = [](const std::string &tag) {
    StoredMeta m = meta_for(tag);
    // Set-Cookie2 with a folded line, and a space before its colon.
    m.head.insert(m.head.size() - 2, "Set-Cookie: id=secret-" + tag +
                                         "\r\nX-Kept: 1\r\nset-cookie2 : old=\r\n secret-" + tag +
                                         "\r\n");
    return m;
  };
  auto w = s->begin("http://a.test/c", with_cookies("one"));
  ASSERT_TRUE(w && w->append(reinterpret_cast<const uint8_t *>("b"), 1) && w->commit());
  auto e = s->lookup("http://a.test/c");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->meta.head, "HTTP/1.1 200 OK\r\nX-Tag: one\r\nX-Kept: 1\r\n\r\n");
  EXPECT_TRUE(s->update("http://a.test/c", e->id, with_cookies("two")));
  EXPECT_EQ(s->lookup("http://a.test/c")->meta.head,
            "HTTP/1.1 200 OK\r\nX-Tag: two\r\nX-Kept: 1\r\n\r\n");
  EXPECT_EQ(count(*db, "SELECT count(*) FROM cache_entries WHERE instr(head, 'secret')"), 0);
}

TEST_F(DiskStoreTest, TwoConnectionsShareEntriesAndDropAbandonedWrites) {
  auto db1 = open_db(path_);
  auto db2 = open_db(path_);
  auto s1 = make_disk_store(db1, 1 << 20);
  auto s2 = make_disk_store(db2, 1 << 20);
  ASSERT_TRUE(put(*s1, "http://a.test/shared", "1", "from one"));
  EXPECT_EQ(body_of(*s2, "http://a.test/shared"), "from one");
  ASSERT_TRUE(put(*s2, "http://a.test/shared", "2", "from two"));
  EXPECT_EQ(body_of(*s1, "http://a.test/shared"), "from two");
  EXPECT_EQ(s1->size(), s2->size());

  // A writer of a process that died: rows that stay incomplete.
  auto w = s2->begin("http://a.test/crashed", meta_for("c"));
  ASSERT_TRUE(w->append(reinterpret_cast<const uint8_t *>("partial"), 7));
  ASSERT_EQ(db1->exec("UPDATE cache_entries SET created=created-7200 WHERE complete=0"), SQLITE_OK);
  auto live = s1->begin("http://a.test/live", meta_for("l"));
  ASSERT_TRUE(live->append(reinterpret_cast<const uint8_t *>("recent"), 6));
  ASSERT_TRUE(remove_abandoned_writes(*db1, std::time(nullptr) - 3600));
  int64_t incomplete = 0;
  ASSERT_TRUE(
      sql::query_int(*db1, "SELECT count(*) FROM cache_entries WHERE complete=0", incomplete));
  EXPECT_EQ(incomplete, 1);
  EXPECT_FALSE(w->commit()) << "its rows were taken away";
  EXPECT_TRUE(live->commit());
  EXPECT_EQ(body_of(*s2, "http://a.test/live"), "recent");
}

TEST_F(DiskStoreTest, LookupOfASmallEntryIsFast) {
  auto db = open_db(path_);
  auto s = make_disk_store(db, 64 << 20);
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(put(*s, "http://a.test/" + std::to_string(i), "x", std::string(1024, 'k')));
  const int rounds = 2000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    // Alternate entries so that each lookup also marks its entry as used.
    auto e = s->lookup("http://a.test/" + std::to_string(i % 2 == 0 ? 10 : 20));
    std::string body;
    ASSERT_TRUE(e && e->body->read(0, 4096, body) && body.size() == 1024);
  }
  auto per = std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::steady_clock::now() - start) /
             rounds;
  RecordProperty("lookup_us", static_cast<int>(per.count()));
  std::printf("disk lookup and read of 1 KiB: %lld us\n", static_cast<long long>(per.count()));
  // Loose: a loaded machine or a sanitizer build must not fail this.
  EXPECT_LT(per.count(), 5000);
}

// Earlier builds kept Vary fields in a binary form of their own. Such a row
// is a miss, never an entry without Vary fields, until the URL's next
// response replaces it; a row they wrote without fields reads as before.
TEST_F(DiskStoreTest, VaryFieldsInTheEarlierFormAreMisses) {
  auto db = open_db(path_);
  ASSERT_TRUE(db);
  auto s = make_disk_store(db, 1 << 20);
  ASSERT_TRUE(s);
  auto insert_earlier = [&](const std::string &url, const std::string &vary) {
    sql::Statement insert(*db,
                          "INSERT INTO cache_entries(url, complete, status, head, request_time, "
                          "response_time, vary, body_size, size, last_used, created) "
                          "VALUES(?1, 1, 200, ?2, 1000, 1001, ?3, 0, 0, 1, 1000)");
    const std::string head = meta_for("earlier").head;
    insert.bind_text(1, url);
    insert.bind_blob(2, head.data(), head.size());
    insert.bind_blob(3, vary.data(), vary.size());
    return insert.run();
  };
  // accept-encoding and a 32-byte digest, each after its length in 4 bytes.
  const std::string earlier_vary = std::string("\x0f\0\0\0accept-encoding", 19) +
                                   std::string("\x20\0\0\0", 4) + std::string(32, '\r');
  ASSERT_TRUE(insert_earlier("http://a.test/fields", earlier_vary));
  ASSERT_TRUE(insert_earlier("http://a.test/none", ""));

  EXPECT_FALSE(s->lookup("http://a.test/fields"));
  auto none = s->lookup("http://a.test/none");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->meta.vary.empty());

  StoredMeta m = meta_for("now");
  m.vary = {{"accept-encoding", std::string(64, 'a')}};
  auto w = s->begin("http://a.test/fields", m);
  ASSERT_TRUE(w && w->commit());
  auto e = s->lookup("http://a.test/fields");
  ASSERT_TRUE(e);
  ASSERT_EQ(e->meta.vary.size(), 1u);
  EXPECT_EQ(e->meta.vary[0].value, std::string(64, 'a'));
}

TEST_F(DiskStoreTest, ADatabaseFromBeforeRangesGainsTheirColumn) {
  {
    int rc = 0;
    auto db = sql::Connection::open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, rc);
    ASSERT_TRUE(db);
    ASSERT_TRUE(create_disk_tables(*db));
    ASSERT_EQ(db->exec("ALTER TABLE cache_entries DROP COLUMN parts"), SQLITE_OK);
    ASSERT_EQ(db->exec("INSERT INTO cache_entries(url, complete, status, head, request_time, "
                       "response_time, vary, body_size, size, last_used, created) VALUES("
                       "'http://a.test/old', 1, 200, 'HTTP/1.1 200 OK\r\n\r\n', 1, 1, '', 0, "
                       "0, 1, 1)"),
              SQLITE_OK);
  }
  auto db = open_db(path_);
  ASSERT_TRUE(db);
  auto s = make_disk_store(db, 1 << 20);
  ASSERT_TRUE(s);
  auto old = s->lookup("http://a.test/old");
  ASSERT_TRUE(old);
  EXPECT_TRUE(old->meta.parts.empty());
}

}  // namespace
}  // namespace hvcore::cache
