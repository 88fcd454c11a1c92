// libcurl's jar seen through Netscape lines: the line format, the Cookie
// header a WebSocket handshake sends, Set-Cookie values stored as a browser
// would, and the jar's bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "base/curl_handles.h"
#include "namespaces/cookie_bound.h"
#include "namespaces/cookie_lines.h"

namespace hvcore {
namespace {

TEST(CookieLineTest, ParsesAndFormatsNetscapeLines) {
  struct Case {
    const char *line;
    bool ok;
    const char *domain = nullptr;
    bool subdomains = false, secure = false, http_only = false;
    const char *path = nullptr;
    int64_t expires = 0;
    const char *name = nullptr, *value = nullptr;
    const char *formatted = nullptr;  // nullptr: the line itself
  };
  const Case cases[] = {
      {"example.com\tFALSE\t/\tFALSE\t0\tsid\tabc", true, "example.com", false, false, false, "/",
       0, "sid", "abc", nullptr},
      {".example.com\tTRUE\t/a\tTRUE\t1893456000\tk\tv", true, "example.com", true, true, false,
       "/a", 1893456000, "k", "v", nullptr},
      {"#HttpOnly_.example.com\tTRUE\t/\tFALSE\t5\th\tx=y z", true, "example.com", true, false,
       true, "/", 5, "h", "x=y z", nullptr},
      {"#HttpOnly_host.test\tFALSE\t/p/q\tTRUE\t7\tn\t", true, "host.test", false, true, true,
       "/p/q", 7, "n", "", nullptr},
      // The value is the rest of the line, tabs and all; a line may end after the name.
      {"h.test\tFALSE\t/\tFALSE\t0\tn\ta\tb", true, "h.test", false, false, false, "/", 0, "n",
       "a\tb", nullptr},
      {"h.test\tFALSE\t/\tFALSE\t0\tn", true, "h.test", false, false, false, "/", 0, "n", "",
       "h.test\tFALSE\t/\tFALSE\t0\tn\t"},
      {"h.test\tfalse\t/\ttrue\t0\tn\tv\r\n", true, "h.test", false, true, false, "/", 0, "n", "v",
       "h.test\tFALSE\t/\tTRUE\t0\tn\tv"},
      {"# Netscape HTTP Cookie File", false},
      {"", false},
      {"h.test\tFALSE\t/\tFALSE\tsoon\tn\tv", false},
      {"h.test\tFALSE\t/", false},
      {"\tFALSE\t/\tFALSE\t0\tn\tv", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    auto parsed = parse_cookie_line(c.line);
    ASSERT_EQ(parsed.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(parsed->domain, c.domain);
    EXPECT_EQ(parsed->include_subdomains, c.subdomains);
    EXPECT_EQ(parsed->secure, c.secure);
    EXPECT_EQ(parsed->http_only, c.http_only);
    EXPECT_EQ(parsed->path, c.path);
    EXPECT_EQ(parsed->expires, c.expires);
    EXPECT_EQ(parsed->name, c.name);
    EXPECT_EQ(parsed->value, c.value);
    EXPECT_EQ(parsed->netscape(), c.formatted ? c.formatted : c.line);
  }
  // One cookie's identity: domain (any case), path and name.
  auto a = parse_cookie_line("Example.COM\tFALSE\t/\tFALSE\t0\tn\t1");
  auto b = parse_cookie_line(".example.com\tTRUE\t/\tTRUE\t9\tn\t2");
  auto c = parse_cookie_line("example.com\tFALSE\t/x\tFALSE\t0\tn\t1");
  EXPECT_EQ(a->key(), b->key());
  EXPECT_NE(a->key(), c->key());
}

class JarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ensure_curl_global();
    easy_.reset(curl_easy_init());
    ASSERT_TRUE(easy_);
  }
  void add(const std::string &line) {
    curl_easy_setopt(easy_.get(), CURLOPT_COOKIELIST, line.c_str());
  }
  std::optional<CookieLine> find(const std::string &name) {
    for (auto &c : jar_cookies(easy_.get()))
      if (c.name == name) return c;
    return std::nullopt;
  }
  EasyPtr easy_;
};

TEST_F(JarTest, CookieHeaderMatchesDomainPathAndScheme) {
  int64_t future = std::time(nullptr) + 3600;
  std::string f = std::to_string(future);
  add("a.test\tFALSE\t/\tFALSE\t0\thost\t1");          // host-only
  add(".a.test\tTRUE\t/\tFALSE\t" + f + "\tdom\t2");   // a.test and below
  add("a.test\tFALSE\t/docs\tFALSE\t0\tdocs\t3");      // path /docs
  add("a.test\tFALSE\t/docs/\tFALSE\t0\tslash\t4");    // path /docs/
  add("a.test\tFALSE\t/\tTRUE\t0\tsec\t5");            // secure only
  add("#HttpOnly_a.test\tFALSE\t/\tFALSE\t0\tho\t6");  // sent: not a script
  add("a.test\tFALSE\t/\tFALSE\t1\told\t7");           // expired
  add("b.a.test\tFALSE\t/\tFALSE\t0\tsub\t8");         // host-only of a subdomain
  // Loopback hosts are secure origins whatever the scheme, as for requests.
  add("127.0.0.1\tFALSE\t/\tTRUE\t0\tlo4\t9");
  add("::1\tFALSE\t/\tTRUE\t0\tlo6\t10");
  add("localhost\tFALSE\t/\tTRUE\t0\tlocal\t11");
  struct Case {
    const char *url;
    const char *header;
  } cases[] = {
      {"http://a.test/", "host=1; dom=2; ho=6"},
      {"ws://a.test/chat?x=1", "host=1; dom=2; ho=6"},
      {"wss://A.TEST/", "host=1; dom=2; sec=5; ho=6"},
      {"https://a.test/docs", "docs=3; host=1; dom=2; sec=5; ho=6"},
      // Longest path first.
      {"http://a.test/docs/x", "slash=4; docs=3; host=1; dom=2; ho=6"},
      {"http://a.test/docsx", "host=1; dom=2; ho=6"},
      {"http://b.a.test/", "dom=2; sub=8"},
      {"http://c.b.a.test/", "dom=2"},
      {"http://xa.test/", ""},
      {"http://test/", ""},
      {"ws://127.0.0.1:8080/", "lo4=9"},
      {"http://127.0.0.1/", "lo4=9"},
      {"ws://[::1]/", "lo6=10"},
      {"ws://localhost/", "local=11"},
      {"not a url", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(cookie_header_for(easy_.get(), c.url), c.header);
  }
}

TEST_F(JarTest, SetCookieIsStoredAsABrowserWould) {
  int64_t now = std::time(nullptr);
  struct Case {
    const char *url;
    const char *set_cookie;
    const char *name;  // the cookie expected in the jar; nullptr: refused
    const char *domain = nullptr;
    bool subdomains = false;
    const char *path = nullptr;
    bool secure = false, http_only = false;
    int64_t lifetime = 0;  // expected expiry minus now; 0: session; -1: any time in the future
  };
  const Case cases[] = {
      {"http://www.a.test/x/y", "c1=v1", "c1", "www.a.test", false, "/x", false, false, 0},
      {"http://www.a.test/", "c2=v2; Path=/p; HttpOnly", "c2", "www.a.test", false, "/p", false,
       true, 0},
      {"https://www.a.test/", "c3 = v3 ;Domain=.A.test; Secure", "c3", "a.test", true, "/", true,
       false, 0},
      {"http://www.a.test/x/", "c4=v4; Max-Age=100", "c4", "www.a.test", false, "/x", false, false,
       100},
      {"http://www.a.test/x", "c5=v5; expires=Fri, 01 Jan 2100 00:00:00 GMT; Max-Age=60", "c5",
       "www.a.test", false, "/", false, false, 60},
      {"http://www.a.test/", "c6=v6; Expires=Wed, 01 Jan 2031 00:00:00 GMT", "c6", "www.a.test",
       false, "/", false, false, -1},
      {"http://www.a.test/", "c7=v7; Path=relative; Expires=garbage", "c7", "www.a.test", false,
       "/", false, false, 0},
      {"ws://www.a.test/chat", "c8=\"quoted value\"", "c8", "www.a.test", false, "/", false, false,
       0},
      {"http://localhost/", "c9=v; Secure", "c9", "localhost", false, "/", true, false, 0},
      {"ws://www.a.co.uk/", "c10=v; Domain=a.co.uk", "c10", "a.co.uk", true, "/", false, false, 0},
      // A host that is itself a public suffix keeps the cookie to itself.
      {"ws://github.io/", "c11=v; Domain=github.io", "c11", "github.io", false, "/", false, false,
       0},
      {"http://127.0.0.1/", "c12=v; Domain=127.0.0.1", "c12", "127.0.0.1", true, "/", false, false,
       0},
      // Refused: a foreign or a top-level domain, no '=', no name, a control
      // character, Secure from an insecure origin, prefixes not honoured.
      {"http://www.a.test/", "r1=v; Domain=b.test", nullptr},
      {"http://www.a.test/", "r2=v; Domain=test", nullptr},
      {"http://www.a.test/", "r3=v; Domain=xwww.a.test", nullptr},
      // Public suffixes, of registries and of hosting services.
      {"ws://a.co.uk/", "r10=v; Domain=co.uk", nullptr},
      {"http://www.a.co.uk/", "r11=v; Domain=.CO.UK", nullptr},
      {"wss://a.github.io/", "r12=v; Domain=github.io", nullptr},
      {"ws://www.a.test/", "r13=v; Domain=127.0.0.1", nullptr},
      {"http://www.a.test/", "r4", nullptr},
      {"http://www.a.test/", "=v", nullptr},
      {"http://www.a.test/", "r5=a\tb", nullptr},
      {"http://www.a.test/", "r6=v; Secure", nullptr},
      {"https://www.a.test/", "__Secure-r7=v", nullptr},
      {"https://www.a.test/", "__Host-r8=v; Secure; Path=/; Domain=a.test", nullptr},
      {"https://www.a.test/x/y", "__Host-r9=v; Secure", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.url) + " " + c.set_cookie);
    size_t before = jar_cookies(easy_.get()).size();
    store_set_cookie(easy_.get(), c.url, c.set_cookie);
    if (c.name == nullptr) {
      EXPECT_EQ(jar_cookies(easy_.get()).size(), before);
      continue;
    }
    auto got = find(c.name);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->domain, c.domain);
    EXPECT_EQ(got->include_subdomains, c.subdomains);
    EXPECT_EQ(got->path, c.path);
    EXPECT_EQ(got->secure, c.secure);
    EXPECT_EQ(got->http_only, c.http_only);
    if (c.lifetime == 0)
      EXPECT_EQ(got->expires, 0);
    else if (c.lifetime < 0)
      EXPECT_GT(got->expires, now);
    else
      EXPECT_NEAR(got->expires - now, c.lifetime, 5);
  }
  EXPECT_EQ(find("c8")->value, "\"quoted value\"");
  EXPECT_EQ(cookie_header_for(easy_.get(), "https://a.test/"), "c3=v3");
}

TEST_F(JarTest, APastExpiryDeletesTheCookie) {
  store_set_cookie(easy_.get(), "http://a.test/", "gone=1; Max-Age=3600");
  store_set_cookie(easy_.get(), "http://a.test/", "kept=1");
  store_set_cookie(easy_.get(), "http://a.test/", "old=1; Expires=Thu, 01 Jan 1970 00:00:00 GMT");
  ASSERT_TRUE(find("gone"));
  EXPECT_FALSE(find("old"));
  store_set_cookie(easy_.get(), "http://a.test/", "gone=; Max-Age=0");
  EXPECT_FALSE(find("gone"));
  EXPECT_EQ(cookie_header_for(easy_.get(), "http://a.test/"), "kept=1");
  // libcurl itself drops the expired line at its next look at the jar.
  add("a.test\tFALSE\t/\tFALSE\t0\tnext\t1");
  curl_slist *raw = nullptr;
  ASSERT_EQ(curl_easy_getinfo(easy_.get(), CURLINFO_COOKIELIST, &raw), CURLE_OK);
  SlistPtr list(raw);
  for (curl_slist *l = raw; l; l = l->next)
    EXPECT_EQ(std::string(l->data).find("gone"), std::string::npos) << l->data;
}

TEST_F(JarTest, OneResponseSetsAtMostFiftyCookies) {
  // As libcurl takes them from a response: fields it refuses do not count.
  std::vector<std::string> fields = {"bad", "r=v; Domain=co.uk"};
  for (int i = 0; i < 90; ++i) fields.push_back("c" + std::to_string(i) + "=v");
  EXPECT_EQ(store_set_cookies(easy_.get(), "ws://a.test/", fields), kMaxSetCookiesPerResponse);
  auto jar = jar_cookies(easy_.get());
  ASSERT_EQ(jar.size(), 50u);
  for (int i = 0; i < 90; ++i) EXPECT_EQ(find("c" + std::to_string(i)).has_value(), i < 50) << i;
}

TEST(CookieSiteTest, IsTheRegistrableDomain) {
  const std::pair<const char *, const char *> cases[] = {
      {"www.a.test", "a.test"},       {"a.test", "a.test"}, {"x.y.a.co.uk", "a.co.uk"},
      {"b.github.io", "b.github.io"}, {"co.uk", "co.uk"},   {"localhost", "localhost"},
      {"127.0.0.1", "127.0.0.1"},     {"::1", "::1"},       {"WWW.A.Test", "a.test"},
  };
  for (const auto &[domain, site] : cases) EXPECT_EQ(cookie_site(domain), site) << domain;
}

class BoundTest : public JarTest {
 protected:
  // `count` cookies named prefix0.. on `host`, as from one response.
  void respond(const std::string &host, const std::string &prefix, int count, int from = 0) {
    std::vector<std::string> fields;
    for (int i = from; i < from + count; ++i) fields.push_back(prefix + std::to_string(i) + "=v");
    store_set_cookies(easy_.get(), "http://" + host + "/", fields);
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (auto &c : jar_cookies(easy_.get())) out.push_back(c.name);
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(BoundTest, OldestCookiesOfASiteGoFirstThenOldestOfTheJar) {
  CookieBound bound(3, 5);
  // One cookie an apply, so that ages are defined: cookies new to one apply
  // take the jar's order, which follows libcurl's domain hash (another on
  // 32-bit builds).
  auto add = [&](const std::string &host, const std::string &name) {
    store_set_cookies(easy_.get(), "http://" + host + "/", {name + "=v"});
    return bound.apply(easy_.get());
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(add("www.a.test", "a0") + add("www.a.test", "a1") + add("b.a.test", "b0"), 0u);
  EXPECT_EQ(add("b.a.test", "b1"), 1u);  // the same site: a0 goes
  EXPECT_EQ(add("a.co.uk", "u0"), 0u);
  EXPECT_EQ(names(), (Names{"a1", "b0", "b1", "u0"}));
  // Set again, a cookie keeps its age; another site's never counts here.
  EXPECT_EQ(add("www.a.test", "a1"), 0u);
  EXPECT_EQ(add("b.co.uk", "w0"), 0u);
  EXPECT_EQ(add("b.co.uk", "w1"), 1u);  // six in all: the jar's oldest goes
  EXPECT_EQ(names(), (Names{"b0", "b1", "u0", "w0", "w1"}));
  // Gone cookies are forgotten: made again, they are new.
  EXPECT_EQ(add("www.a.test", "a1"), 1u);
  EXPECT_EQ(names(), (Names{"a1", "b1", "u0", "w0", "w1"}));
}

TEST_F(BoundTest, KeepsBrowsersBounds) {
  CookieBound bound;
  // Five full responses from one site: its 180 newest stay.
  for (int r = 0; r < 5; ++r) {
    respond("one.test", "c", 50, r * 50);
    bound.apply(easy_.get());
  }
  ASSERT_EQ(jar_cookies(easy_.get()).size(), CookieBound::kPerSite);
  EXPECT_FALSE(find("c69"));
  EXPECT_TRUE(find("c70"));
  // Then 70 sites of 50 cookies, ten sites at a time: the jar's 3,300 newest
  // stay, so the first ten sites keep 300 between them.
  const std::string value(32, 'x');
  for (int step = 0; step < 7; ++step) {
    for (int site = step * 10; site < step * 10 + 10; ++site)
      for (int i = 0; i < 50; ++i)
        add("s" + std::to_string(site) + ".test\tFALSE\t/\tFALSE\t0\tc" + std::to_string(i) + "\t" +
            value);
    bound.apply(easy_.get());
  }
  std::map<std::string, size_t> per_site;
  auto jar = jar_cookies(easy_.get());
  for (const auto &c : jar) ++per_site[c.domain];
  EXPECT_EQ(jar.size(), CookieBound::kTotal);
  EXPECT_EQ(per_site.count("one.test"), 0u);
  size_t first_step = 0;
  for (int site = 0; site < 70; ++site) {
    const size_t kept = per_site["s" + std::to_string(site) + ".test"];
    if (site < 10)
      first_step += kept;
    else
      EXPECT_EQ(kept, 50u) << site;
  }
  EXPECT_EQ(first_step, 300u);
}

TEST(CookieBoundThreadsTest, OneJarBoundFromSeveralThreads) {
  // As engines of a namespace bound its jar, each on its own thread.
  ensure_curl_global();
  struct Locks {
    std::array<std::mutex, CURL_LOCK_DATA_LAST> m;
    static void lock(CURL *, curl_lock_data d, curl_lock_access, void *u) {
      static_cast<Locks *>(u)->m[d].lock();
    }
    static void unlock(CURL *, curl_lock_data d, void *u) {
      static_cast<Locks *>(u)->m[d].unlock();
    }
  } locks;
  SharePtr share(curl_share_init());
  curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, &Locks::lock);
  curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, &Locks::unlock);
  curl_share_setopt(share.get(), CURLSHOPT_USERDATA, static_cast<void *>(&locks));
  curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  auto easy_on_share = [&] {
    EasyPtr easy(curl_easy_init());
    curl_easy_setopt(easy.get(), CURLOPT_SHARE, share.get());
    return easy;
  };
  CookieBound bound(60, 150);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string url = "http://s" + std::to_string(t) + ".test/";
      for (int r = 0; r < 10; ++r) {
        EasyPtr easy = easy_on_share();
        std::vector<std::string> fields;
        for (int i = r * 50; i < r * 50 + 50; ++i) fields.push_back("c" + std::to_string(i) + "=v");
        store_set_cookies(easy.get(), url, fields);
        bound.apply(easy.get());
        cookie_header_for(easy.get(), url);
      }
    });
  }
  for (auto &th : threads) th.join();
  EasyPtr easy = easy_on_share();
  bound.apply(easy.get());
  std::map<std::string, size_t> per_site;
  auto jar = jar_cookies(easy.get());
  for (const auto &c : jar) ++per_site[c.domain];
  EXPECT_EQ(jar.size(), 150u);
  for (const auto &[site, count] : per_site) EXPECT_LE(count, 60u) << site;
}

TEST(SharedCookieBoundTest, OnePerShare) {
  ensure_curl_global();
  SharePtr a(curl_share_init()), b(curl_share_init());
  EXPECT_EQ(shared_cookie_bound(a.get()), shared_cookie_bound(a.get()));
  EXPECT_NE(shared_cookie_bound(a.get()), shared_cookie_bound(b.get()));
}

}  // namespace
}  // namespace hvcore

namespace {

struct MergeCase {
  const char *jar, *given, *merged;
};

class CookieMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(CookieMerge, TheCallersValueOfANameIsTheOneSent) {
  EXPECT_EQ(hvcore::merge_cookie_fields(GetParam().jar, GetParam().given), GetParam().merged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CookieMerge,
    ::testing::Values(MergeCase{"a=1; b=2", "", "a=1; b=2"}, MergeCase{"", "c=3", "c=3"},
                      MergeCase{"a=1; b=2", "b=9; c=3", "a=1; b=9; c=3"},
                      MergeCase{"a=1", " a = 5 ;; d=4 ", "a = 5; d=4"},
                      MergeCase{"a=1; flag", "flag", "a=1; flag"},
                      MergeCase{"a=1", "A=2", "a=1; A=2"}));  // names are case-sensitive

}  // namespace
