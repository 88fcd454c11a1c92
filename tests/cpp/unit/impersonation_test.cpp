// Browser profiles without the network: every accepted name builds a profile
// whose ClientHello settings OpenSSL takes, and the composition of profile,
// engine and caller headers keeps positions, duplicates and transports apart.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "profiles/profiles.h"
#include "tls/tls_profile.h"

namespace hvcore {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields pairs(const std::vector<HeaderField> &fields) {
  Fields out;
  for (const auto &f : fields) out.emplace_back(f.name, f.value);
  return out;
}

std::string value_of(const BrowserProfile &p, std::string_view name) {
  for (const auto &h : p.navigation)
    if (h.name == name) return h.value;
  return "(absent)";
}

TEST(Impersonation, EveryNameBuildsAProfileTheTlsLibraryAccepts) {
  const auto names = profile_names();
  ASSERT_EQ(names.size(), 43u + 43u + 41u + 5u + 5u + 5u);
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    const BrowserProfile *p = find_profile(name);
    ASSERT_NE(p, nullptr);
    // A fresh context each time, as every connection gets one.
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                          &SSL_CTX_free);
    ASSERT_TRUE(ctx);
    EXPECT_TRUE(apply_tls_profile(ctx.get(), p->tls, true));
    EXPECT_NE(value_of(*p, "User-Agent").find("Mozilla/5.0 ("), std::string::npos);
    for (const auto &h : p->navigation) EXPECT_EQ(h.value.find('{'), std::string::npos) << h.name;
    for (const auto &h : p->websocket) EXPECT_EQ(h.value.find('{'), std::string::npos) << h.name;
  }
}

TEST(Impersonation, ClientHintBrandsFollowChromiumsGrease) {
  const std::pair<const char *, const char *> cases[] = {
      {"chrome_110", R"("Chromium";v="110", "Not A(Brand";v="24", "Google Chrome";v="110")"},
      {"chrome_116", R"("Chromium";v="116", "Not)A;Brand";v="24", "Google Chrome";v="116")"},
      {"chrome_120", R"("Not_A Brand";v="8", "Chromium";v="120", "Google Chrome";v="120")"},
      {"chrome_123", R"("Google Chrome";v="123", "Not:A-Brand";v="8", "Chromium";v="123")"},
      {"chrome_124", R"("Chromium";v="124", "Google Chrome";v="124", "Not-A.Brand";v="99")"},
      {"chrome_131", R"("Google Chrome";v="131", "Chromium";v="131", "Not_A Brand";v="24")"},
      {"edge_131", R"("Microsoft Edge";v="131", "Chromium";v="131", "Not_A Brand";v="24")"},
      {"chrome_152", R"("Chromium";v="152", "Not?A_Brand";v="24", "Google Chrome";v="152")"},
  };
  for (const auto &[name, brands] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(value_of(*find_profile(name), "sec-ch-ua"), brands);
  }
  EXPECT_EQ(value_of(*find_profile("firefox_133"), "sec-ch-ua"), "(absent)");
}

TEST(Impersonation, BareNamesAreTheNewestAndNothingElseMatches) {
  const std::pair<const char *, const char *> newest[] = {{"chrome", "chrome_152"},
                                                          {"edge", "edge_152"},
                                                          {"firefox", "firefox_155"},
                                                          {"safari", "safari_27"},
                                                          {"safari_ios", "safari_ios_27"}};
  for (const auto &[bare, name] : newest) EXPECT_EQ(find_profile(bare)->name, name);
  for (const char *name :
       {"", "chrome_", "chrome_109", "chrome_153", "Chrome_131", "chrome_0131", "chrome_131 ",
        "safari_ios_15", "firefox_156", "edge_109", "safari_19", "safari_25", "safari_ios_28"})
    EXPECT_EQ(find_profile(name), nullptr) << name;
}

// One row per era after 131/133/18: what it changed, as the profile carries it.
TEST(Impersonation, NewerErasCarryWhatChanged) {
  struct Row {
    const char *name, *groups;
    int key_shares;
    bool alps_new_codepoint, trust_anchors;
    const char *delegated_credentials, *user_agent_part, *language;
  };
  const Row rows[] = {
      {"chrome_132", "X25519MLKEM768:X25519:P-256:P-384", 0, false, false, "", "Chrome/132.0.0.0",
       "en-US,en;q=0.9"},
      {"edge_133", "X25519MLKEM768:X25519:P-256:P-384", 0, true, false, "", "Edg/133.0.0.0",
       "en-US,en;q=0.9"},
      {"chrome_152", "X25519MLKEM768:X25519:P-256:P-384", 0, true, true, "", "Chrome/152.0.0.0",
       "en-US,en;q=0.9"},
      {"firefox_134", "X25519MLKEM768:X25519:P-256:P-384:P-521:ffdhe2048:ffdhe3072", 3, false,
       false, "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:ECDSA+SHA1", "rv:134.0", "en-US,en;q=0.5"},
      {"firefox_155", "X25519MLKEM768:X25519:P-256:P-384:P-521:ffdhe2048:ffdhe3072", 3, false,
       false, "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:ECDSA+SHA1", "Firefox/155.0",
       "en-US,en;q=0.9"},
      {"safari_26", "X25519MLKEM768:X25519:P-256:P-384:P-521", 0, false, false, "",
       "Version/26.0 Safari", "en-US,en;q=0.9"},
      {"safari_ios_26", "X25519MLKEM768:X25519:P-256:P-384:P-521", 0, false, false, "",
       "iPhone OS 18_6 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/26.0",
       "en-US,en;q=0.9"},
      {"safari_ios_27", "X25519MLKEM768:X25519:P-256:P-384:P-521", 0, false, false, "",
       "iPhone OS 18_7 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/27.0",
       "en-US,en;q=0.9"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    const BrowserProfile &p = *find_profile(r.name);
    EXPECT_EQ(p.tls.groups, r.groups);
    EXPECT_EQ(p.tls.key_shares, r.key_shares);
    EXPECT_EQ(p.tls.alps_new_codepoint, r.alps_new_codepoint);
    EXPECT_EQ(p.tls.trust_anchors.size(), r.trust_anchors ? 186u : 0u);
    EXPECT_EQ(p.tls.delegated_credentials, r.delegated_credentials);
    EXPECT_NE(value_of(p, "User-Agent").find(r.user_agent_part), std::string::npos);
    EXPECT_EQ(value_of(p, "Accept-Language"), r.language);
  }
}

TEST(Impersonation, RequestFieldsTakeTheProfilesPlace) {
  const BrowserProfile &p = *find_profile("firefox_133");
  EngineSettings engine;
  engine.user_agent = "Engine/1";
  const std::vector<HeaderField> caller = {
      {"X-Own", "1"}, {"accept", "a"}, {"Accept", "b"}, {"Accept-Language", ""}};
  const Fields h2 = pairs(compose_request_headers(p, engine, caller, true));
  const Fields expected_h2 = {{"User-Agent", "Engine/1"},
                              {"accept", "a"},
                              {"Accept", "b"},
                              {"Accept-Language", ""},
                              {"Accept-Encoding", "gzip, deflate, br, zstd"},
                              {"Upgrade-Insecure-Requests", "1"},
                              {"Sec-Fetch-Dest", "document"},
                              {"Sec-Fetch-Mode", "navigate"},
                              {"Sec-Fetch-Site", "none"},
                              {"Sec-Fetch-User", "?1"},
                              {"Priority", "u=0, i"},
                              {"TE", "trailers"},
                              {"X-Own", "1"}};
  EXPECT_EQ(h2, expected_h2);

  // HTTP/1.1 trades TE for Connection, in its own place.
  const Fields h1 = pairs(compose_request_headers(p, EngineSettings{}, {}, false));
  ASSERT_EQ(h1.size(), 11u);
  EXPECT_EQ(h1[4], (std::pair<std::string, std::string>{"Connection", "keep-alive"}));
  EXPECT_EQ(h1.back().first, "Priority");
  EXPECT_EQ(h1[0].second, value_of(p, "User-Agent"));
}

TEST(Impersonation, HandshakeFieldsFollowTheProfile) {
  const BrowserProfile &p = *find_profile("chrome_131");
  const std::vector<HeaderField> handshake = {{"Host", "h"},
                                              {"Upgrade", "websocket"},
                                              {"Connection", "upgrade"},
                                              {"Sec-WebSocket-Key", "k"},
                                              {"Sec-WebSocket-Version", "13"},
                                              {"X-Own", "1"},
                                              {"Accept-Language", "fr"}};
  const Fields got = pairs(compose_websocket_headers(p, handshake));
  const std::string ua = value_of(p, "User-Agent");
  const Fields expected = {{"Host", "h"},
                           {"Connection", "Upgrade"},
                           {"Pragma", "no-cache"},
                           {"Cache-Control", "no-cache"},
                           {"User-Agent", ua},
                           {"Upgrade", "websocket"},
                           {"Sec-WebSocket-Version", "13"},
                           {"Accept-Encoding", "gzip, deflate, br, zstd"},
                           {"Accept-Language", "fr"},
                           {"Sec-WebSocket-Key", "k"},
                           {"X-Own", "1"}};
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace hvcore
