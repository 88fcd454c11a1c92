// The cache's rules (RFC 9111) as pure functions: directives, storability,
// freshness, age, what a request does with an entry, and head updates.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cache/cache_policy.h"

// Expected directive sets name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace hvcore::cache {
namespace {

// Sun, 06 Nov 1994 08:49:37 GMT
constexpr Seconds T = 784111777;
const char *const kDateT = "Sun, 06 Nov 1994 08:49:37 GMT";
const char *const kDateTMinus100 = "Sun, 06 Nov 1994 08:47:57 GMT";
const char *const kDateTPlus100 = "Sun, 06 Nov 1994 08:51:17 GMT";
const char *const kDateTMinus1000 = "Sun, 06 Nov 1994 08:32:57 GMT";

std::string head(std::string_view status, std::initializer_list<std::string_view> fields) {
  std::string out(status);
  out += "\r\n";
  for (auto f : fields) out.append(f).append("\r\n");
  return out + "\r\n";
}

std::string ok(std::initializer_list<std::string_view> fields) {
  return head("HTTP/1.1 200 OK", fields);
}

using Headers = std::vector<HeaderField>;

// ---- directives ----------------------------------------------------------------

struct DirectiveCase {
  const char *name;
  std::vector<std::string> lines;
  Directives expected;
};

void expect_same(const Directives &got, const Directives &want, const char *name) {
  SCOPED_TRACE(name);
  EXPECT_EQ(got.no_store, want.no_store);
  EXPECT_EQ(got.no_cache, want.no_cache);
  EXPECT_EQ(got.must_revalidate, want.must_revalidate);
  EXPECT_EQ(got.proxy_revalidate, want.proxy_revalidate);
  EXPECT_EQ(got.is_public, want.is_public);
  EXPECT_EQ(got.is_private, want.is_private);
  EXPECT_EQ(got.only_if_cached, want.only_if_cached);
  EXPECT_EQ(got.immutable, want.immutable);
  EXPECT_EQ(got.max_stale_any, want.max_stale_any);
  EXPECT_EQ(got.max_age, want.max_age);
  EXPECT_EQ(got.s_maxage, want.s_maxage);
  EXPECT_EQ(got.max_stale, want.max_stale);
  EXPECT_EQ(got.min_fresh, want.min_fresh);
  EXPECT_EQ(got.stale_while_revalidate, want.stale_while_revalidate);
  EXPECT_EQ(got.stale_if_error, want.stale_if_error);
  EXPECT_EQ(got.no_cache_fields, want.no_cache_fields);
  EXPECT_EQ(got.private_fields, want.private_fields);
}

TEST(CachePolicy, DirectivesParse) {
  // Designated fields in declaration order, as C++ requires.
  const std::vector<DirectiveCase> cases = {
      {"none", {}, {}},
      {"max-age", {"max-age=60"}, {.max_age = 60}},
      {"list with spaces",
       {"  no-cache ,max-age=5 , must-revalidate"},
       {.no_cache = true, .must_revalidate = true, .max_age = 5}},
      {"every line counts", {"max-age=5", "no-store"}, {.no_store = true, .max_age = 5}},
      {"first of duplicates wins", {"max-age=5, max-age=10", "max-age=20"}, {.max_age = 5}},
      {"quoted number", {"max-age=\"30\""}, {.max_age = 30}},
      {"commas inside quotes do not split",
       {"no-cache=\"set-cookie, max-age=99\", max-age=7"},
       {.max_age = 7, .no_cache_fields = {"set-cookie", "max-age=99"}}},
      {"qualified no-cache and private",
       {"no-cache=\"X-A\", private=\"Set-Cookie, x-b\""},
       {.is_private = true, .no_cache_fields = {"x-a"}, .private_fields = {"set-cookie", "x-b"}}},
      {"qualified no-cache naming nothing is no-cache", {"no-cache=\"\""}, {.no_cache = true}},
      {"stale windows",
       {"stale-while-revalidate=30, stale-if-error=\"60\""},
       {.stale_while_revalidate = 30, .stale_if_error = 60}},
      {"invalid stale window is 0", {"stale-while-revalidate=soon"}, {.stale_while_revalidate = 0}},
      {"space before = makes no directive", {"max-age = 5, no-store =1"}, {}},
      {"not a number is 0", {"max-age=abc"}, {.max_age = 0}},
      {"negative is 0", {"max-age=-5"}, {.max_age = 0}},
      {"missing value is 0", {"max-age"}, {.max_age = 0}},
      {"fraction is 0", {"max-age=1.5"}, {.max_age = 0}},
      {"huge is 2^31", {"max-age=99999999999999999999999"}, {.max_age = Seconds{1} << 31}},
      {"names without case",
       {"MAX-AGE=3, No-Store, PUBLIC"},
       {.no_store = true, .is_public = true, .max_age = 3}},
      {"escaped quote inside quotes",
       {"private=\"a\\\",max-age=99\", s-maxage=3"},
       {.is_private = true, .s_maxage = 3, .private_fields = {"a\\\",max-age=99"}}},
      {"unknown ignored", {"foo=bar, community=\"UCI\", immutable"}, {.immutable = true}},
      {"max-stale without value", {"max-stale"}, {.max_stale_any = true}},
      {"max-stale first wins", {"max-stale=10, max-stale"}, {.max_stale = 10}},
      {"request limits",
       {"min-fresh=20, only-if-cached, proxy-revalidate"},
       {.proxy_revalidate = true, .only_if_cached = true, .min_fresh = 20}},
      {"empty members", {",,max-age=4,,"}, {.max_age = 4}},
  };
  for (const auto &c : cases) {
    std::string h = "HTTP/1.1 200 OK\r\n";
    Headers request;
    for (const auto &line : c.lines) {
      h += "Cache-Control: " + line + "\r\n";
      request.push_back({"cache-control", line});
    }
    h += "X-Other: max-age=1\r\n\r\n";
    expect_same(response_directives(h), c.expected, c.name);
    expect_same(request_directives(request), c.expected, c.name);
  }
}

TEST(CachePolicy, PragmaCountsOnlyWithoutCacheControl) {
  EXPECT_TRUE(request_directives({{"Pragma", "no-cache"}}).no_cache);
  EXPECT_TRUE(request_directives({{"pragma", "foo, no-cache"}}).no_cache);
  EXPECT_FALSE(
      request_directives({{"Pragma", "no-cache"}, {"Cache-Control", "max-age=5"}}).no_cache);
  // A response's Pragma means nothing.
  EXPECT_FALSE(response_directives(ok({"Pragma: no-cache"})).no_cache);
}

// ---- storability ---------------------------------------------------------------

TEST(CachePolicy, IsStorable) {
  struct Case {
    const char *name;
    const char *method;
    Headers request;
    std::string head;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"200 by default", "GET", {}, ok({}), true},
      {"HEAD is not stored", "HEAD", {}, ok({"Cache-Control: max-age=60"}), false},
      {"POST is not stored", "POST", {}, ok({"Cache-Control: max-age=60"}), false},
      {"lower-case get is another method", "get", {}, ok({}), false},
      {"204", "GET", {}, head("HTTP/1.1 204 No Content", {}), true},
      {"404", "GET", {}, head("HTTP/1.1 404 Not Found", {}), true},
      {"410", "GET", {}, head("HTTP/1.1 410 Gone", {}), true},
      {"301", "GET", {}, head("HTTP/1.1 301 Moved", {"Location: /x"}), true},
      {"308", "GET", {}, head("HTTP/1.1 308 Moved", {"Location: /x"}), true},
      {"302 plain", "GET", {}, head("HTTP/1.1 302 Found", {"Location: /x"}), false},
      {"302 with max-age",
       "GET",
       {},
       head("HTTP/1.1 302 Found", {"Location: /x", "Cache-Control: max-age=60"}),
       true},
      {"307 with Expires",
       "GET",
       {},
       head("HTTP/1.1 307 Temporary", {"Location: /x", std::string("Expires: ") + kDateT}),
       true},
      {"303 public", "GET", {}, head("HTTP/1.1 303 See Other", {"Cache-Control: public"}), true},
      {"500 plain", "GET", {}, head("HTTP/1.1 500 Oops", {}), false},
      {"503 s-maxage only",
       "GET",
       {},
       head("HTTP/1.1 503 Busy", {"Cache-Control: s-maxage=60"}),
       false},
      {"206 never", "GET", {}, head("HTTP/1.1 206 Partial", {"Cache-Control: max-age=60"}), false},
      {"304 never", "GET", {}, head("HTTP/1.1 304 Not Modified", {"ETag: \"a\""}), false},
      {"no-store response", "GET", {}, ok({"Cache-Control: max-age=60, no-store"}), false},
      {"no-store second line",
       "GET",
       {},
       ok({"Cache-Control: max-age=60", "cache-control: no-store"}),
       false},
      {"no-store request", "GET", {{"Cache-Control", "no-store"}}, ok({}), false},
      {"Vary star", "GET", {}, ok({"Vary: Accept, *"}), false},
      {"Vary named", "GET", {}, ok({"Vary: Accept"}), true},
      {"no-cache is stored", "GET", {}, ok({"Cache-Control: no-cache"}), true},
      {"private is stored by a private cache", "GET", {}, ok({"Cache-Control: private"}), true},
      {"201 private", "GET", {}, head("HTTP/1.1 201 Created", {"Cache-Control: private"}), true},
      {"must-understand, a status understood", "GET", {},
       ok({"Cache-Control: must-understand, max-age=60"}), true},
      {"must-understand, 307", "GET", {},
       head("HTTP/1.1 307 Temporary", {"Location: /x", "Cache-Control: must-understand, max-age=60"}),
       true},
      {"must-understand, a status not understood", "GET", {},
       head("HTTP/1.1 299 New", {"Cache-Control: must-understand, max-age=60"}), false},
      {"must-understand keeps no-store", "GET", {},
       ok({"Cache-Control: must-understand, no-store"}), false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(is_storable(c.method, c.request, c.head), c.expected) << c.name;
}

// ---- freshness and age ---------------------------------------------------------

TEST(CachePolicy, FreshnessLifetime) {
  const std::string date = std::string("Date: ") + kDateT;
  struct Case {
    const char *name;
    std::string head;
    Seconds expected;
  };
  const std::vector<Case> cases = {
      {"nothing", ok({}), 0},
      {"max-age", ok({"Cache-Control: max-age=60", date}), 60},
      {"max-age wins over Expires",
       ok({"Cache-Control: max-age=60", date, std::string("Expires: ") + kDateTPlus100}), 60},
      {"s-maxage ignored", ok({"Cache-Control: s-maxage=60", date}), 0},
      {"invalid max-age is stale",
       ok({"Cache-Control: max-age=x", std::string("Expires: ") + kDateTPlus100}), 0},
      {"Expires minus Date", ok({date, std::string("Expires: ") + kDateTPlus100}), 100},
      {"Expires before Date", ok({date, std::string("Expires: ") + kDateTMinus100}), 0},
      {"Expires 0 is expired", ok({date, "Expires: 0"}), 0},
      {"Expires invalid beats heuristic",
       ok({date, "Expires: soon", std::string("Last-Modified: ") + kDateTMinus1000}), 0},
      {"first Expires counts", ok({date, std::string("Expires: ") + kDateTPlus100, "Expires: 0"}),
       100},
      {"Expires without Date uses response time", ok({std::string("Expires: ") + kDateTPlus100}),
       100},
      {"heuristic 10%", ok({date, std::string("Last-Modified: ") + kDateTMinus1000}), 100},
      {"heuristic without Date uses response time",
       ok({std::string("Last-Modified: ") + kDateTMinus1000}), 100},
      {"heuristic for 404",
       head("HTTP/1.1 404 Not Found", {date, std::string("Last-Modified: ") + kDateTMinus1000}),
       100},
      {"no heuristic for 302",
       head("HTTP/1.1 302 Found", {date, std::string("Last-Modified: ") + kDateTMinus1000}), 0},
      {"no heuristic when modified after Date",
       ok({date, std::string("Last-Modified: ") + kDateTPlus100}), 0},
  };
  for (const auto &c : cases) EXPECT_EQ(freshness_lifetime(c.head, T), c.expected) << c.name;
}

TEST(CachePolicy, CurrentAge) {
  struct Case {
    const char *name;
    std::string head;
    Seconds request_time, response_time, now, expected;
  };
  const std::vector<Case> cases = {
      {"just received", ok({std::string("Date: ") + kDateT}), T, T, T, 0},
      {"resident time", ok({std::string("Date: ") + kDateT}), T, T, T + 30, 30},
      {"apparent age from an old Date", ok({std::string("Date: ") + kDateTMinus100}), T, T, T + 5,
       105},
      {"Date in the future is no age", ok({std::string("Date: ") + kDateTPlus100}), T, T, T, 0},
      {"Age plus response delay", ok({std::string("Date: ") + kDateT, "Age: 50"}), T - 2, T, T + 1,
       53},
      {"larger of apparent and corrected", ok({std::string("Date: ") + kDateTMinus100, "Age: 10"}),
       T, T, T, 100},
      {"invalid Age ignored", ok({std::string("Date: ") + kDateT, "Age: -3"}), T, T, T, 0},
      {"Age with a suffix ignored", ok({std::string("Date: ") + kDateT, "Age: 5s"}), T, T, T, 0},
      {"first member of a listed Age", ok({std::string("Date: ") + kDateT, "Age: 9, 100"}), T, T, T,
       9},
      {"missing Date", ok({"Age: 7"}), T, T, T + 1, 8},
  };
  for (const auto &c : cases) {
    StoredMeta meta{200, c.head, c.request_time, c.response_time, {}};
    EXPECT_EQ(current_age(meta, c.now), c.expected) << c.name;
  }
}

// ---- decide --------------------------------------------------------------------

TEST(CachePolicy, DecidePerModeAndDirectives) {
  const std::string date = std::string("Date: ") + kDateT;
  const std::string fresh = ok({date, "Cache-Control: max-age=100", "ETag: \"v1\""});
  const std::string stale = ok({date, "Cache-Control: max-age=10", "ETag: \"v1\""});
  const std::string stale_no_validator = ok({date, "Cache-Control: max-age=10"});
  const std::string stale_last_modified =
      ok({date, "Cache-Control: max-age=10", std::string("Last-Modified: ") + kDateTMinus1000});
  const std::string no_cache = ok({date, "Cache-Control: max-age=100, no-cache", "ETag: \"v\""});
  const std::string no_cache_fields =
      ok({date, "Cache-Control: no-cache=\"Set-Cookie\", max-age=100", "ETag: \"v\""});
  const std::string must_revalidate =
      ok({date, "Cache-Control: max-age=10, must-revalidate", "ETag: \"v\""});
  const std::string proxy_revalidate =
      ok({date, "Cache-Control: max-age=100, proxy-revalidate", "ETag: \"v\""});
  const std::string immutable = ok({date, "Cache-Control: max-age=100, immutable", "ETag: \"v\""});
  const std::string immutable_stale =
      ok({date, "Cache-Control: max-age=10, immutable", "ETag: \"v\""});
  auto swr = [&](int window, std::string more = "") {
    return ok({date,
               "Cache-Control: max-age=10, stale-while-revalidate=" + std::to_string(window) + more,
               "ETag: \"v\""});
  };
  const Seconds now = T + 20;  // the max-age=10 entries are 10 s stale

  using enum Action;
  struct Case {
    const char *name;
    CacheMode mode;
    std::string head;
    Headers request;
    Action expected;
  };
  const std::vector<Case> cases = {
      {"default fresh", CacheMode::Default, fresh, {}, Use},
      {"default stale", CacheMode::Default, stale, {}, Revalidate},
      {"default stale by Last-Modified", CacheMode::Default, stale_last_modified, {}, Revalidate},
      {"default stale without validators", CacheMode::Default, stale_no_validator, {}, Network},
      {"validate fresh", CacheMode::Validate, fresh, {}, Revalidate},
      {"validate without validators", CacheMode::Validate, stale_no_validator, {}, Network},
      {"bypass fresh", CacheMode::Bypass, fresh, {}, Network},
      {"no_store fresh", CacheMode::NoStore, fresh, {}, Network},
      {"force stale", CacheMode::Force, stale, {}, Use},
      {"force must-revalidate", CacheMode::Force, must_revalidate, {}, Use},
      {"only_if_cached stale", CacheMode::OnlyIfCached, stale_no_validator, {}, Use},
      {"response no-cache", CacheMode::Default, no_cache, {}, Revalidate},
      {"response no-cache with fields", CacheMode::Default, no_cache_fields, {}, Use},
      {"immutable fresh in validate", CacheMode::Validate, immutable, {}, Use},
      {"immutable fresh on a reload's max-age=0",
       CacheMode::Default,
       immutable,
       {{"Cache-Control", "max-age=0"}},
       Use},
      {"immutable fresh, forced reload",
       CacheMode::Default,
       immutable,
       {{"Cache-Control", "no-cache"}},
       Revalidate},
      {"immutable stale", CacheMode::Validate, immutable_stale, {}, Revalidate},
      {"stale-while-revalidate within", CacheMode::Default, swr(60), {}, UseAndRenew},
      {"stale-while-revalidate at its end", CacheMode::Default, swr(10), {}, UseAndRenew},
      {"stale-while-revalidate past", CacheMode::Default, swr(9), {}, Revalidate},
      {"stale-while-revalidate, must-revalidate",
       CacheMode::Default,
       swr(60, ", must-revalidate"),
       {},
       Revalidate},
      {"stale-while-revalidate, proxy-revalidate",
       CacheMode::Default,
       swr(60, ", proxy-revalidate"),
       {},
       Revalidate},
      {"stale-while-revalidate, no-cache",
       CacheMode::Default,
       swr(60, ", no-cache"),
       {},
       Revalidate},
      {"stale-while-revalidate, request no-cache",
       CacheMode::Default,
       swr(60),
       {{"Cache-Control", "no-cache"}},
       Revalidate},
      {"stale-while-revalidate, request max-age",
       CacheMode::Default,
       swr(60),
       {{"Cache-Control", "max-age=100"}},
       Revalidate},
      {"stale-while-revalidate in validate", CacheMode::Validate, swr(60), {}, Revalidate},
      {"stale-while-revalidate, max-stale takes it",
       CacheMode::Default,
       swr(60),
       {{"Cache-Control", "max-stale"}},
       Use},
      {"must-revalidate stale", CacheMode::Default, must_revalidate, {}, Revalidate},
      {"must-revalidate beats max-stale",
       CacheMode::Default,
       must_revalidate,
       {{"Cache-Control", "max-stale"}},
       Revalidate},
      {"proxy-revalidate is for shared caches", CacheMode::Default, proxy_revalidate, {}, Use},
      {"request no-cache", CacheMode::Default, fresh, {{"Cache-Control", "no-cache"}}, Revalidate},
      {"request Pragma no-cache", CacheMode::Default, fresh, {{"Pragma", "no-cache"}}, Revalidate},
      {"request max-age=0 on an aged entry",
       CacheMode::Default,
       fresh,
       {{"Cache-Control", "max-age=0"}},
       Revalidate},
      {"request max-age above age",
       CacheMode::Default,
       fresh,
       {{"cache-control", "max-age=20"}},
       Use},
      {"request max-age below age",
       CacheMode::Default,
       fresh,
       {{"cache-control", "max-age=19"}},
       Revalidate},
      {"min-fresh satisfied", CacheMode::Default, fresh, {{"Cache-Control", "min-fresh=80"}}, Use},
      {"min-fresh not satisfied",
       CacheMode::Default,
       fresh,
       {{"Cache-Control", "min-fresh=81"}},
       Revalidate},
      {"max-stale any", CacheMode::Default, stale, {{"Cache-Control", "max-stale"}}, Use},
      {"max-stale enough", CacheMode::Default, stale, {{"Cache-Control", "max-stale=10"}}, Use},
      {"max-stale too small",
       CacheMode::Default,
       stale,
       {{"Cache-Control", "max-stale=9"}},
       Revalidate},
      {"only-if-cached directive",
       CacheMode::Default,
       stale,
       {{"Cache-Control", "only-if-cached"}},
       Use},
      {"request no-store", CacheMode::Default, fresh, {{"Cache-Control", "no-store"}}, Network},
      {"caller's own If-None-Match",
       CacheMode::Default,
       fresh,
       {{"If-None-Match", "\"x\""}},
       Network},
      {"caller's own If-Range in validate",
       CacheMode::Validate,
       fresh,
       {{"if-range", "\"x\""}},
       Network},
      {"Vary is not decide's business", CacheMode::Default, fresh, {{"Accept", "x/y"}}, Use},
  };
  for (const auto &c : cases) {
    StoredMeta meta{200, c.head, T, T, {}};
    EXPECT_EQ(decide(c.mode, meta, c.request, now), c.expected) << c.name;
  }
}

TEST(CachePolicy, FreshUntilLifetimeEnds) {
  StoredMeta meta{
      200, ok({std::string("Date: ") + kDateT, "Cache-Control: max-age=10", "ETag: x"}), T, T, {}};
  EXPECT_EQ(decide(CacheMode::Default, meta, {}, T + 9), Action::Use);
  EXPECT_EQ(decide(CacheMode::Default, meta, {}, T + 10), Action::Revalidate);
}

// ---- validators and head updates -----------------------------------------------

TEST(CachePolicy, Validators) {
  const auto both = validators(ok({"ETag: W/\"a\"", std::string("Last-Modified: ") + kDateT}));
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].name, "If-None-Match");
  EXPECT_EQ(both[0].value, "W/\"a\"");
  EXPECT_EQ(both[1].name, "If-Modified-Since");
  EXPECT_EQ(both[1].value, kDateT);
  EXPECT_TRUE(validators(ok({"Cache-Control: max-age=1"})).empty());
}

TEST(CachePolicy, FreshenHead) {
  const std::string stored = head("HTTP/1.1 200 OK", {
                                                         "Date: old",
                                                         "Content-Type: text/plain",
                                                         "X-Multi: 1",
                                                         "Content-Length: 5",
                                                         "X-Multi: 2",
                                                         "Content-Encoding: gzip",
                                                         "ETag: \"v1\"",
                                                         "Age: 100",
                                                     });
  const std::string update = head("HTTP/1.1 304 Not Modified", {
                                                                   "Date: new",
                                                                   "x-multi: 3",
                                                                   "Content-Length: 0",
                                                                   "Transfer-Encoding: chunked",
                                                                   "Content-Encoding: br",
                                                                   "Connection: close, X-Hop",
                                                                   "X-Hop: 1",
                                                                   "Keep-Alive: timeout=5",
                                                                   "Age: 3",
                                                                   "X-New: yes",
                                                               });
  EXPECT_EQ(freshen_head(stored, update), head("HTTP/1.1 200 OK", {
                                                                      "Date: new",
                                                                      "Content-Type: text/plain",
                                                                      "x-multi: 3",
                                                                      "Content-Length: 5",
                                                                      "Content-Encoding: gzip",
                                                                      "ETag: \"v1\"",
                                                                      "Age: 3",
                                                                      "X-New: yes",
                                                                  }));
  // The stored Date and Age go with the response they came with.
  EXPECT_EQ(freshen_head(stored, head("HTTP/1.1 304 Not Modified", {"ETag: \"v1\""})),
            head("HTTP/1.1 200 OK", {"Content-Type: text/plain", "X-Multi: 1", "Content-Length: 5",
                                     "X-Multi: 2", "Content-Encoding: gzip", "ETag: \"v1\""}));
}

TEST(CachePolicy, HeadMayFreshen) {
  const std::string stored = ok({"ETag: \"v1\"", "Content-Length: 5"});
  struct Case {
    const char *name;
    std::string stored, response;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"same ETag", stored, ok({"ETag: \"v1\"", "X: y"}), true},
      {"same ETag and length", stored, ok({"ETag: \"v1\"", "Content-Length: 5"}), true},
      {"other ETag", stored, ok({"ETag: \"v2\""}), false},
      {"other length", stored, ok({"ETag: \"v1\"", "Content-Length: 6"}), false},
      {"no validator for an entry with one", stored, ok({"X: y"}), false},
      {"neither has validators", ok({"X: a"}), ok({"X: b"}), true},
      {"Last-Modified differs", ok({std::string("Last-Modified: ") + kDateT}),
       ok({std::string("Last-Modified: ") + kDateTPlus100}), false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(head_may_freshen(c.stored, c.response), c.expected) << c.name;
}

TEST(CachePolicy, WithAge) {
  EXPECT_EQ(with_age(ok({"Age: 5", "X: 1", "age: 6"}), 42), ok({"X: 1", "Age: 42"}));
  EXPECT_EQ(with_age(ok({}), -1), ok({"Age: 0"}));
}

// ---- Vary ----------------------------------------------------------------------

TEST(CachePolicy, VaryHeadersAndMatching) {
  const std::string h = ok({"Vary: Accept-Encoding, X-Mode", "Vary: accept-encoding, X-Absent"});
  const Headers sent = {{"Accept-Encoding", "gzip"}, {"accept-encoding", "br"}, {"X-Mode", "a"}};
  const auto kept = vary_headers(h, sent);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].name, "accept-encoding");
  EXPECT_EQ(kept[1].name, "x-mode");
  // Values are kept as digests, never as sent.
  for (const auto &f : kept) {
    EXPECT_EQ(f.value.size(), 64u) << f.name;
    EXPECT_EQ(f.value.find("gzip"), std::string::npos);
  }
  EXPECT_NE(kept[0].value, kept[1].value);

  const StoredMeta entry{200, h, T, T, kept};
  struct Case {
    const char *name;
    Headers request;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"same", sent, true},
      {"same as one line", {{"X-Mode", "a"}, {"Accept-Encoding", "gzip,br"}}, true},
      {"other value", {{"Accept-Encoding", "gzip, br"}, {"X-Mode", "b"}}, false},
      {"order of values counts", {{"Accept-Encoding", "br, gzip"}, {"X-Mode", "a"}}, false},
      {"members joined", {{"Accept-Encoding", "gzipbr"}, {"X-Mode", "a"}}, false},
      {"members split", {{"Accept-Encoding", "gzip, b, r"}, {"X-Mode", "a"}}, false},
      {"a comma inside quotes", {{"Accept-Encoding", "\"gzip, br\""}, {"X-Mode", "a"}}, false},
      {"an empty member", {{"Accept-Encoding", "gzip, , br"}, {"X-Mode", "a"}}, true},
      {"case counts", {{"Accept-Encoding", "GZIP, br"}, {"X-Mode", "a"}}, false},
      {"missing header", {{"Accept-Encoding", "gzip, br"}}, false},
      {"a header the entry was stored without",
       {{"Accept-Encoding", "gzip, br"}, {"X-Mode", "a"}, {"X-Absent", "1"}},
       false},
  };
  for (const auto &c : cases) EXPECT_EQ(vary_matches(entry, c.request), c.expected) << c.name;
  EXPECT_TRUE(vary_matches(StoredMeta{200, ok({}), T, T, {}}, sent));

  // A credential a response varies on is matched without being kept.
  const std::string auth = ok({"Vary: Authorization"});
  const Headers bearer = {{"Authorization", "Bearer token-1"}};
  const StoredMeta private_entry{200, auth, T, T, vary_headers(auth, bearer)};
  ASSERT_EQ(private_entry.vary.size(), 1u);
  EXPECT_EQ(private_entry.vary[0].value.find("token-1"), std::string::npos);
  EXPECT_TRUE(vary_matches(private_entry, bearer));
  EXPECT_FALSE(vary_matches(private_entry, {{"Authorization", "Bearer token-2"}}));
  EXPECT_FALSE(vary_matches(private_entry, {}));
}

// Nothing of a no-store exchange is stored, a 304's or a HEAD response's
// fields included.
TEST(CachePolicy, MayUpdate) {
  struct Case {
    const char *name;
    Headers request;
    std::string update;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"plain", {}, head("HTTP/1.1 304 Not Modified", {"ETag: \"v1\""}), true},
      {"response no-store",
       {},
       head("HTTP/1.1 304 Not Modified", {"Cache-Control: no-store"}),
       false},
      {"among other directives",
       {},
       ok({"Cache-Control: max-age=60", "cache-control: NO-STORE"}),
       false},
      {"request no-store", {{"Cache-Control", "no-store"}}, ok({}), false},
      {"no-cache is not no-store",
       {{"Cache-Control", "no-cache"}},
       ok({"Cache-Control: no-cache"}),
       true},
  };
  for (const auto &c : cases) EXPECT_EQ(may_update(c.request, c.update), c.expected) << c.name;
}

// ---- invalidation --------------------------------------------------------------

TEST(CachePolicy, Invalidation) {
  EXPECT_TRUE(invalidates("POST", 200));
  EXPECT_TRUE(invalidates("DELETE", 204));
  EXPECT_TRUE(invalidates("PUT", 303));
  EXPECT_TRUE(invalidates("PATCH", 201));
  EXPECT_FALSE(invalidates("POST", 404));
  EXPECT_FALSE(invalidates("POST", 500));
  EXPECT_FALSE(invalidates("GET", 200));
  EXPECT_FALSE(invalidates("HEAD", 200));
  EXPECT_FALSE(invalidates("OPTIONS", 200));

  const std::string url = "http://127.0.0.1:8080/a/b";
  EXPECT_EQ(invalidated_urls(url, ok({})), std::vector<std::string>{url});
  EXPECT_EQ(
      invalidated_urls(url, ok({"Location: /c", "Content-Location: d"})),
      (std::vector<std::string>{url, "http://127.0.0.1:8080/c", "http://127.0.0.1:8080/a/d"}));
  EXPECT_EQ(invalidated_urls(url, ok({"Location: http://127.0.0.1:8080/a/b"})),
            std::vector<std::string>{url});
  // Other origins stay: another host, port or scheme.
  EXPECT_EQ(invalidated_urls(url, ok({"Location: http://localhost:8080/c",
                                      "Content-Location: https://127.0.0.1:8080/c"})),
            std::vector<std::string>{url});
  EXPECT_EQ(invalidated_urls(url, ok({"Location: http://127.0.0.1:8081/c"})),
            std::vector<std::string>{url});
  // By cache key: any spelling of the request's URL or of a target removes
  // the one entry they share.
  EXPECT_EQ(invalidated_urls("http://alice:pw@LOCALHOST:80/a#f",
                             ok({"Location: /%7eb#g", "Content-Location: HTTP://localhost/a"})),
            (std::vector<std::string>{"http://localhost/a", "http://localhost/~b"}));
}

// ---- dates ---------------------------------------------------------------------

TEST(CachePolicy, HttpDates) {
  struct Case {
    const char *text;
    std::optional<Seconds> expected;
  };
  const std::vector<Case> cases = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", T},
      {"  Sun, 06 Nov 1994 08:49:37 GMT ", T},
      {"Sunday, 06-Nov-94 08:49:37 GMT", T},
      {"Sun Nov  6 08:49:37 1994", T},
      {"Sun Nov 6 08:49:37 1994", T},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Wed, 31 Dec 1969 23:59:59 GMT", -1},
      {"Tue, 29 Feb 2000 12:00:00 GMT", 951825600},
      {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
      {"Tue, 19 Jan 2038 03:14:08 GMT", 2147483648},  // past a 32-bit time_t
      {"Sat Jan  1 00:00:00 2050", 2524608000},
      {"Tuesday, 01-Jan-30 00:00:00 GMT", 1893456000},
      {"SUN, 06 NOV 1994 08:49:37 gmt", T},  // every browser reads names without case
      {"sunday, 06-nov-94 08:49:37 Gmt", T},
      {"sun nov  6 08:49:37 1994", T},
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
      {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 31 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Mon, 29 Feb 1900 00:00:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
      {"Xyz, 06 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 94 08:49:37 GMT", std::nullopt},
      {"Sunday, 06-Nov-1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", std::nullopt},
      {"0", std::nullopt},
      {"-1", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto &c : cases) EXPECT_EQ(parse_http_date(c.text), c.expected) << c.text;
}

// ---- serving stale, 304 selection ------------------------------------------------

TEST(CachePolicy, ServesStaleOnError) {
  const std::string date = std::string("Date: ") + kDateT;
  auto stored = [&](std::string directives) { return ok({date, "Cache-Control: " + directives}); };
  const Seconds now = T + 20;  // max-age=10: 10 s stale
  struct Case {
    const char *name;
    CacheMode mode;
    std::string head;
    Headers request;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"within", CacheMode::Default, stored("max-age=10, stale-if-error=10"), {}, true},
      {"past", CacheMode::Default, stored("max-age=10, stale-if-error=9"), {}, false},
      {"none", CacheMode::Default, stored("max-age=10"), {}, false},
      {"request's window",
       CacheMode::Default,
       stored("max-age=10"),
       {{"Cache-Control", "stale-if-error=30"}},
       true},
      {"the larger window",
       CacheMode::Default,
       stored("max-age=10, stale-if-error=5"),
       {{"Cache-Control", "stale-if-error=30"}},
       true},
      {"must-revalidate",
       CacheMode::Default,
       stored("max-age=10, stale-if-error=60, must-revalidate"),
       {},
       false},
      {"proxy-revalidate",
       CacheMode::Default,
       stored("max-age=10, stale-if-error=60, proxy-revalidate"),
       {},
       false},
      {"no-cache",
       CacheMode::Default,
       stored("max-age=10, stale-if-error=60, no-cache"),
       {},
       false},
      {"request no-cache",
       CacheMode::Default,
       stored("max-age=10, stale-if-error=60"),
       {{"Cache-Control", "no-cache"}},
       false},
      {"validate mode", CacheMode::Validate, stored("max-age=10, stale-if-error=60"), {}, false},
  };
  for (const auto &c : cases) {
    StoredMeta meta{200, c.head, T, T, {}};
    EXPECT_EQ(serves_stale_on_error(c.mode, meta, c.request, now), c.expected) << c.name;
  }
  for (int status : {500, 502, 503, 504}) EXPECT_TRUE(is_error_for_stale(status));
  for (int status : {200, 404, 501, 505}) EXPECT_FALSE(is_error_for_stale(status));
}

TEST(CachePolicy, UpdateSelects) {
  struct Case {
    const char *stored, *update;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"ETag: \"a\"", "ETag: \"a\"", true},
      {"ETag: \"a\"", "ETag: \"b\"", false},
      {"ETag: W/\"a\"", "ETag: \"a\"", false},  // strong against weak: no
      {"ETag: \"a\"", "ETag: W/\"a\"", true},   // weak comparison
      {"ETag: W/\"a\"", "ETag: W/\"a\"", true},
      {"ETag: W/\"a\"", "ETag: W/\"b\"", false},
      {"X-None: 1", "ETag: \"a\"", false},
      {"ETag: \"a\"", "X-None: 1", true},  // answers the validators that were sent
  };
  for (const auto &c : cases)
    EXPECT_EQ(update_selects(ok({c.stored}), head("HTTP/1.1 304 Not Modified", {c.update})),
              c.expected)
        << c.stored << " / " << c.update;
}

TEST(CachePolicy, QualifiedFieldsLeaveTheHead) {
  const std::string h =
      ok({"Cache-Control: no-cache=\"X-A\", private=\"x-b\"", "X-A: 1", "X-B: 2", "X-C: 3"});
  EXPECT_EQ(unvalidated_head(h),
            ok({"Cache-Control: no-cache=\"X-A\", private=\"x-b\"", "X-B: 2", "X-C: 3"}));
  EXPECT_EQ(head_to_store(h),
            ok({"Cache-Control: no-cache=\"X-A\", private=\"x-b\"", "X-A: 1", "X-C: 3"}));
}

// ---- byte ranges -------------------------------------------------------------------

TEST(CachePolicy, ByteRanges) {
  struct Case {
    Headers request;
    bool served;  // byte_range answers
    bool bypasses;
    std::optional<std::pair<uint64_t, uint64_t>> in_100;  // resolved against 100 bytes
  };
  using P = std::pair<uint64_t, uint64_t>;
  const std::vector<Case> cases = {
      {{}, false, false, std::nullopt},
      {{{"Range", "bytes=0-9"}}, true, false, P{0, 10}},
      {{{"range", "BYTES=90-"}}, true, false, P{90, 100}},
      {{{"Range", "bytes=95-200"}}, true, false, P{95, 100}},
      {{{"Range", "bytes=-10"}}, true, false, P{90, 100}},
      {{{"Range", "bytes=-500"}}, true, false, P{0, 100}},
      {{{"Range", "bytes=100-"}}, true, false, std::nullopt},  // not satisfiable
      {{{"Range", "bytes=0-1,5-6"}}, false, true, std::nullopt},
      {{{"Range", "bytes=5-1"}}, false, true, std::nullopt},
      {{{"Range", "bytes=-0"}}, false, true, std::nullopt},
      {{{"Range", "items=0-1"}}, false, true, std::nullopt},
      {{{"Range", "bytes=0-1"}, {"Range", "bytes=2-3"}}, false, true, std::nullopt},
      {{{"Range", "bytes=0-1"}, {"If-Range", "\"a\""}}, true, true, P{0, 2}},
  };
  for (const auto &c : cases) {
    const std::string name = c.request.empty() ? "none" : c.request[0].value;
    const auto range = byte_range(c.request);
    EXPECT_EQ(range.has_value(), c.served) << name;
    EXPECT_EQ(bypasses_cache(c.request), c.bypasses) << name;
    if (range) EXPECT_EQ(resolve_range(*range, 100), c.in_100) << name;
  }
  EXPECT_EQ(resolve_range(ByteRange{0, std::nullopt, std::nullopt}, 0), std::nullopt);

  const auto cr =
      content_range(head("HTTP/1.1 206 Partial Content", {"Content-Range: bytes 10-19/40"}));
  ASSERT_TRUE(cr);
  EXPECT_EQ(cr->first, 10u);
  EXPECT_EQ(cr->last, 19u);
  EXPECT_EQ(cr->length, 40u);
  for (const char *bad : {"bytes 10-19/*", "bytes 19-10/40", "bytes 10-40/40", "items 0-1/2",
                          "bytes */40", "bytes 1-2"})
    EXPECT_FALSE(
        content_range(head("HTTP/1.1 206 Partial Content", {std::string("Content-Range: ") + bad})))
        << bad;
}

TEST(CachePolicy, PartsAndTheirHeads) {
  const std::string part =
      head("HTTP/1.1 206 Partial Content", {"ETag: \"p\"", "Content-Range: bytes 0-9/40",
                                            "Content-Length: 10", "Cache-Control: max-age=60"});
  const Headers ranged = {{"Range", "bytes=0-9"}};
  EXPECT_TRUE(part_is_storable(ranged, part));
  EXPECT_FALSE(part_is_storable({}, part));  // not asked for
  EXPECT_FALSE(part_is_storable(ranged, head("HTTP/1.1 206 Partial Content",
                                             {"ETag: W/\"p\"", "Content-Range: bytes 0-9/40"})));
  EXPECT_FALSE(part_is_storable(
      ranged, head("HTTP/1.1 206 Partial Content", {"ETag: \"p\"", "Content-Range: bytes 0-9/*"})));
  EXPECT_FALSE(part_is_storable(
      ranged, head("HTTP/1.1 206 Partial Content",
                   {"ETag: \"p\"", "Content-Range: bytes 0-9/40", "Content-Encoding: gzip"})));
  EXPECT_FALSE(part_is_storable(
      ranged, head("HTTP/1.1 206 Partial Content",
                   {"ETag: \"p\"", "Content-Range: bytes 0-9/40", "Cache-Control: no-store"})));

  EXPECT_EQ(
      whole_head(part, 40),
      head("HTTP/1.1 200 OK", {"ETag: \"p\"", "Cache-Control: max-age=60", "Content-Length: 40"}));
  EXPECT_EQ(part_head(part, 5, 8, 40), head("HTTP/1.1 206 Partial Content",
                                            {"ETag: \"p\"", "Cache-Control: max-age=60",
                                             "Content-Length: 3", "Content-Range: bytes 5-7/40"}));

  StoredMeta meta;
  meta.parts = {{0, 10}, {20, 30}};
  meta.length = 40;
  EXPECT_EQ(parts_text(meta), "40:0-10,20-30");
  StoredMeta back;
  EXPECT_TRUE(read_parts(parts_text(meta), back));
  EXPECT_EQ(back.parts, meta.parts);
  EXPECT_EQ(back.length, 40u);
  EXPECT_TRUE(read_parts("", back));
  EXPECT_TRUE(back.parts.empty());
  for (const char *bad :
       {"40", "40:", "40:5-5", "40:0-50", "40:10-20,5-8", "40:0-10,10-20", "x:0-1"})
    EXPECT_FALSE(read_parts(bad, back)) << bad;
}

}  // namespace
}  // namespace hvcore::cache
