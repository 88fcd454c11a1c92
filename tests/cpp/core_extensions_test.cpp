// The Core's optional extensions as the client layer sees them: found in
// the stand-in that has them and not in the one without, the records that
// go through them, and the checks made before the Core is asked.
#include "client/core_extensions.h"

#include <dlfcn.h>

#include <cstring>

#include "client/cookies.h"
#include "client/upload_length.h"
#include "client/websocket.h"
#include "request_test_support.h"

using namespace request_test;
using halvane::Cookie;
using halvane::CookieFilter;
using halvane::Extension;

namespace {

Cookie cookie(std::string name, std::string value, std::string domain, std::string path = "/",
              std::optional<int64_t> expires = std::nullopt) {
  Cookie c;
  c.name = std::move(name);
  c.value = std::move(value);
  c.domain = std::move(domain);
  c.path = std::move(path);
  c.expires = expires;
  return c;
}

TEST(CoreExtensions, TheLinkedStandInOffersEveryExtension) {
  for (const auto &entry : halvane::kExtensionNames)
    EXPECT_TRUE(halvane::core_extensions().has(entry.extension)) << entry.name;
}

TEST(CoreExtensions, NoneWithoutALibrary) {
  const halvane::CoreExtensions none = halvane::find_extensions(nullptr);
  for (const auto &entry : halvane::kExtensionNames) EXPECT_FALSE(none.has(entry.extension));
}

TEST(CoreExtensions, NoneInTheStandInBuiltWithoutThem) {
  // A second copy, loaded apart from the linked one.
  void *plain = dlopen(FAKE_CORE_PLAIN, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(plain, nullptr) << dlerror();
  ASSERT_NE(dlsym(plain, "hv_abi_version"), nullptr);
  const halvane::CoreExtensions found = halvane::find_extensions(plain);
  for (const auto &entry : halvane::kExtensionNames) EXPECT_FALSE(found.has(entry.extension));
  dlclose(plain);
}

class ExtensionTest : public RequestTest {};

TEST_F(ExtensionTest, ConnectTimeoutGoesThroughItsEntry) {
  auto config = halvane::RequestConfig::get("http://a/");
  config.connect_timeout = halvane::Duration{2, 500'000'000};
  make(std::move(config));
  auto config_ms = halvane::RequestConfig::get("http://a/");
  config_ms.connect_timeout = halvane::Duration{0, 10};  // below a millisecond: still a bound
  make(std::move(config_ms));
  make();
  const auto records = fake::request_records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].options_size, sizeof(hv_ext_request_options));
  EXPECT_EQ(records[0].connect_timeout_ms, 2500u);
  EXPECT_EQ(records[1].connect_timeout_ms, 1u);
  EXPECT_EQ(records[2].options_size, 0u);
  EXPECT_EQ(calls("hv_ext_request_create"), 2u);
  EXPECT_EQ(calls("hv_request_create"), 1u);
}

TEST_F(ExtensionTest, CacheStateIsReadOnceTheHeadIsOut) {
  auto started = start();
  fake_set_cache_state(started.handle, HV_EXT_CACHE_STATE_REVALIDATED);
  respond(started.handle, 200, "HTTP/1.1 200 OK\r\n\r\n");
  auto response = std::move(started.future).wait();
  ASSERT_TRUE(response.ok());
  EXPECT_EQ(response.value().cache_state, halvane::CacheState::Revalidated);
  EXPECT_EQ(started.request.cache_state(), halvane::CacheState::Revalidated);
  fake_set_cache_state(started.handle, 7);  // a state this layer does not know
  EXPECT_EQ(started.request.cache_state(), std::nullopt);
}

TEST_F(ExtensionTest, CookieJarRoundTrip) {
  Cookie a = cookie("a", "1", "a.test");
  Cookie b = cookie("b", "2", "b.test", "/p", 2'000'000'000);
  b.secure = b.http_only = b.host_only = true;
  ASSERT_TRUE(halvane::set_cookie(*engine_, a).ok());
  ASSERT_TRUE(halvane::set_cookie(*engine_, b).ok());
  auto listed = halvane::list_cookies(*engine_);
  ASSERT_TRUE(listed.ok());
  EXPECT_EQ(listed.value(), (std::vector<Cookie>{a, b}));
  CookieFilter by_path;
  by_path.path = "/p";
  auto removed = halvane::delete_cookies(*engine_, by_path);
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(removed.value(), 1u);
  CookieFilter empty_name;  // "" is a filter of its own, unlike none
  empty_name.name = "";
  EXPECT_EQ(halvane::delete_cookies(*engine_, empty_name).value(), 0u);
  EXPECT_EQ(halvane::delete_cookies(*engine_, {}).value(), 1u);
  EXPECT_TRUE(halvane::list_cookies(*engine_).value().empty());
}

TEST_F(ExtensionTest, RefusedCookiesNeverReachTheCore) {
  EXPECT_EQ(halvane::set_cookie(*engine_, cookie("", "v", "a.test")).error(),
            halvane::Error(halvane::Error::Kind::InvalidArgument));
  EXPECT_EQ(calls("hv_ext_cookie_set"), 0u);
}

struct RefusalCase {
  Cookie cookie;
  const char *reason;  // nullptr: accepted
};

class CookieRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CookieRefusal, NamesWhatIsWrong) {
  const auto why = halvane::cookie_refusal(GetParam().cookie);
  if (GetParam().reason == nullptr)
    EXPECT_EQ(why, std::nullopt);
  else
    EXPECT_EQ(why, std::optional<std::string>(GetParam().reason));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CookieRefusal,
    ::testing::Values(
        RefusalCase{cookie("a", "", "d.test"), nullptr},
        RefusalCase{cookie("a", "x=y", ".d.test"), nullptr},
        RefusalCase{cookie("a", "v", "d.test", "/", 1), nullptr},
        RefusalCase{cookie("", "v", "d.test"), "empty name"},
        RefusalCase{cookie("a\x01", "v", "d.test"), "name contains a control character"},
        RefusalCase{cookie("a;", "v", "d.test"), "name contains ';'"},
        RefusalCase{cookie("a=", "v", "d.test"), "name contains '='"},
        RefusalCase{cookie("a b", "v", "d.test"), "name contains a space"},
        RefusalCase{cookie("#a", "v", "d.test"), "name begins with '#'"},
        RefusalCase{cookie("a", "v\r", "d.test"), "value contains a control character"},
        RefusalCase{cookie("a", std::string(4096, 'v'), "d.test"),
                    "name and value longer than 4096 bytes"},
        RefusalCase{cookie("a", "v", "."), "empty domain"},
        RefusalCase{cookie("a", "v", "d.test:80/"), "domain is not a host name"},
        RefusalCase{cookie("a", "v", "d.test", "p"), "path does not begin with '/'"},
        RefusalCase{cookie("a", "v", "d.test", "/\t"), "path contains a control character"},
        RefusalCase{cookie("a", "v", "d.test", "/", -5), "expires is not after 1970"}));

struct LengthCase {
  std::vector<halvane::Header> headers;
  std::optional<uint64_t> declared;
};

class DeclaredLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(DeclaredLength, OneConsistentRunOfDigits) {
  EXPECT_EQ(halvane::declared_length(GetParam().headers), GetParam().declared);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeclaredLength,
    ::testing::Values(LengthCase{{}, std::nullopt}, LengthCase{{{"Content-Length", "0"}}, 0},
                      LengthCase{{{"content-length", " 42\t"}}, 42},
                      LengthCase{{{"Content-Length", "7"}, {"CONTENT-LENGTH", "7"}}, 7},
                      LengthCase{{{"Content-Length", "7"}, {"Content-Length", "8"}}, std::nullopt},
                      LengthCase{{{"Content-Length", "+7"}}, std::nullopt},
                      LengthCase{{{"Content-Length", "7, 7"}}, std::nullopt},
                      LengthCase{{{"Content-Length", ""}}, std::nullopt},
                      LengthCase{{{"Content-Length", "9007199254740991"}}, 9007199254740991u},
                      LengthCase{{{"Content-Length", "9007199254740992"}}, std::nullopt},
                      LengthCase{{{"Content-Length", "99999999999999999999"}}, std::nullopt}));

TEST(UploadLength, ExactBodyPasses) {
  halvane::UploadLength length(10);
  EXPECT_EQ(length.admit(4, false), std::nullopt);
  EXPECT_EQ(length.admit(6, false), std::nullopt);
  EXPECT_EQ(length.admit(0, true), std::nullopt);
}

TEST(UploadLength, ShortAndLongBodiesAreNamedOnce) {
  halvane::UploadLength shortened(10);
  EXPECT_EQ(shortened.admit(4, true), "upload body ended after 4 of 10 bytes");
  EXPECT_EQ(shortened.admit(0, true), std::nullopt);  // told once
  halvane::UploadLength lengthened(10);
  EXPECT_EQ(lengthened.admit(10, false), std::nullopt);
  EXPECT_EQ(lengthened.admit(1, false), "upload body ran past its Content-Length of 10 bytes");
  halvane::UploadLength huge(1);
  EXPECT_EQ(huge.admit(UINT64_MAX, false), "upload body ran past its Content-Length of 1 bytes");
}

TEST(UploadLength, NothingDeclaredNothingHeld) {
  halvane::UploadLength none(std::nullopt);
  EXPECT_EQ(none.admit(UINT64_MAX, true), std::nullopt);
}

TEST(WebSocketByteBudget, IsTheStatesOwn) {
  constexpr uint32_t kMiB = 1024 * 1024;
  struct Case {
    uint32_t limit, size;
    bool ends;
  };
  for (const Case c : {Case{4 * kMiB, 5 * kMiB, true}, Case{8 * kMiB, 5 * kMiB, false},
                       Case{8 * kMiB, 8 * kMiB, false}, Case{8 * kMiB, 8 * kMiB + 1, true}}) {
    halvane::WebSocketState state;
    state.byte_limit = c.limit;
    halvane::WebSocketEvent event{halvane::WebSocketEvent::Message{std::vector<uint8_t>(c.size)}};
    EXPECT_TRUE(state.admit(std::move(event), false).admitted);
    EXPECT_EQ(state.finished, c.ends) << c.limit << " " << c.size;
  }
}

}  // namespace
