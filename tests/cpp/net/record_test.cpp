// The C interface refuses bad records, bad handles and unsafe texts without
// creating anything.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "harness.h"

using namespace nettest;

namespace {

const uint8_t *bytes(const char *text) { return reinterpret_cast<const uint8_t *>(text); }

struct EngineCase {
  const char *name;
  void (*edit)(hv_engine_record &);
  int32_t expected;
};

std::string case_name(const testing::TestParamInfo<EngineCase> &info) { return info.param.name; }

class EngineRecordTest : public testing::TestWithParam<EngineCase> {};

TEST_P(EngineRecordTest, IsCheckedBeforeAnEngineExists) {
  hv_engine_record record = engine_record();
  GetParam().edit(record);
  hv_handle engine = 12345;
  EXPECT_EQ(hv_engine_create(&record, &engine), GetParam().expected);
  if (GetParam().expected == HV_OK) {
    EXPECT_NE(engine, 0u);
    hv_engine_release(engine);
  } else {
    EXPECT_EQ(engine, 0u);
  }
}

const char kCa[] = "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n";

INSTANTIATE_TEST_SUITE_P(
    Records, EngineRecordTest,
    testing::Values(
        EngineCase{"Plain", [](hv_engine_record &) {}, HV_OK},
        EngineCase{"SizeTooSmall", [](hv_engine_record &r) { r.size -= 4; },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"OtherAbi", [](hv_engine_record &r) { r.abi = 7; }, HV_ERR_UNSUPPORTED_ABI},
        EngineCase{"LengthWithoutPointer", [](hv_engine_record &r) { r.user_agent_len = 3; },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"UserAgentWithLineBreak",
                   [](hv_engine_record &r) {
                     r.user_agent = bytes("a\r\nX-Injected: 1");
                     r.user_agent_len = 16;
                   },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"AcceptLanguageWithNul",
                   [](hv_engine_record &r) {
                     r.accept_language = bytes("en\0x");
                     r.accept_language_len = 4;
                   },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"Http3", [](hv_engine_record &r) { r.http_version = HV_HTTP_3; }, HV_OK},
        // No proxy libcurl knows carries QUIC.
        EngineCase{"Http3ThroughAProxy",
                   [](hv_engine_record &r) {
                     r.http_version = HV_HTTP_3;
                     r.proxy = bytes("http://127.0.0.1:3128");
                     r.proxy_len = 21;
                   },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"UnknownHttpVersion",
                   [](hv_engine_record &r) { r.http_version = HV_HTTP_VERSION_MAX + 1; },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"UnknownTlsMode",
                   [](hv_engine_record &r) { r.tls_verification = HV_TLS_VERIFICATION_MAX + 1; },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"CacheFlagNotBool", [](hv_engine_record &r) { r.disable_cache = 2; },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"CustomCaEmptyBundle",
                   [](hv_engine_record &r) { r.tls_verification = HV_TLS_CUSTOM_CA; }, HV_OK},
        EngineCase{"CustomCaWithoutCertificate",
                   [](hv_engine_record &r) {
                     r.tls_verification = HV_TLS_CUSTOM_CA;
                     r.ca_pem = bytes(kCa);
                     r.ca_pem_len = static_cast<uint32_t>(std::strlen(kCa));
                   },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"DisabledIgnoresTheBundle",
                   [](hv_engine_record &r) {
                     r.tls_verification = HV_TLS_DISABLED;
                     r.ca_pem = bytes(kCa);
                     r.ca_pem_len = static_cast<uint32_t>(std::strlen(kCa));
                   },
                   HV_OK},
        EngineCase{"ProxyWithoutScheme",
                   [](hv_engine_record &r) {
                     r.proxy = bytes("127.0.0.1:3128");
                     r.proxy_len = 14;
                   },
                   HV_ERR_INVALID_ARGUMENT},
        EngineCase{"Socks5hProxy",
                   [](hv_engine_record &r) {
                     r.proxy = bytes("socks5h://127.0.0.1:1080");
                     r.proxy_len = 24;
                   },
                   HV_OK},
        EngineCase{"UnknownImpersonation",
                   [](hv_engine_record &r) {
                     r.impersonate = bytes("chrome_");
                     r.impersonate_len = 7;
                   },
                   HV_ERR_PROFILE_UNSUPPORTED},
        EngineCase{"ProfileNamespaceIsRecorded",
                   [](hv_engine_record &r) {
                     r.profile_namespace = bytes("ns");
                     r.profile_namespace_len = 2;
                   },
                   HV_OK}),
    case_name);

TEST(EngineRecord, NullArguments) {
  hv_engine_record record = engine_record();
  hv_handle engine = 7;
  EXPECT_EQ(hv_engine_create(nullptr, &engine), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(engine, 0u);
  EXPECT_EQ(hv_engine_create(&record, nullptr), HV_ERR_INVALID_ARGUMENT);
}

class RequestRecordTest : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override { hv_engine_release(engine_); }

  int32_t create(const std::string &url, const RequestOptions &options) {
    hv_handle request = 99;
    const int32_t code = create_request(engine_, url, options, &recorder_, &request);
    if (code == HV_OK) {
      EXPECT_NE(request, 0u);
      hv_request_release(request);
    } else {
      EXPECT_EQ(request, 0u);
    }
    return code;
  }

  hv_handle engine_ = 0;
  Recorder recorder_;
};

TEST_F(RequestRecordTest, TextsThatCouldInjectAreRefused) {
  struct Case {
    std::string url = "http://127.0.0.1/";
    std::string method = "GET";
    std::pair<std::string, std::string> header{"X-Good", "1"};
    int32_t expected = HV_ERR_INVALID_ARGUMENT;
  };
  const Case cases[] = {
      {.expected = HV_OK},
      {.url = "HTTP://LOCALHOST:8/a?b#c", .expected = HV_OK},
      {.method = "M-SEARCH", .expected = HV_OK},
      {.header = {"X-Tab", "a\tb \xc3\xa4"}, .expected = HV_OK},
      {.header = {"X-Empty", ""}, .expected = HV_OK},
      {.url = "file:///etc/passwd"},
      {.url = "http://"},
      {.url = "127.0.0.1/x"},
      {.url = "http://127.0.0.1/\x7f"},
      {.url = std::string("http://127.0.0.1/a\0b", 20)},
      {.method = "GE T"},
      {.method = "P(S)"},
      {.header = {"", "v"}},
      {.header = {"X:A", "v"}},
      {.header = {"X", "a\rb"}},
      {.header = {"X", std::string("a\0b", 3)}},
  };
  for (const Case &c : cases) {
    RequestOptions o;
    o.method = c.method;
    o.headers = {{"First", "1"}, c.header};
    EXPECT_EQ(create(c.url, o), c.expected) << c.url << " " << c.method << " " << c.header.first;
  }
}

TEST_F(RequestRecordTest, FieldChecks) {
  struct Case {
    const char *name;
    void (*edit)(hv_request_record &);
    int32_t expected;
  };
  const Case cases[] = {
      {"size", [](hv_request_record &r) { r.size = 40; }, HV_ERR_INVALID_ARGUMENT},
      {"abi", [](hv_request_record &r) { r.abi = 9; }, HV_ERR_UNSUPPORTED_ABI},
      {"callbacks size", [](hv_request_record &r) { r.callbacks.size = 8; },
       HV_ERR_INVALID_ARGUMENT},
      {"callbacks abi", [](hv_request_record &r) { r.callbacks.abi = 1; }, HV_ERR_UNSUPPORTED_ABI},
      {"headers missing", [](hv_request_record &r) { r.header_count = 2; },
       HV_ERR_INVALID_ARGUMENT},
      {"body kind", [](hv_request_record &r) { r.body_kind = HV_BODY_KIND_MAX + 1; },
       HV_ERR_INVALID_ARGUMENT},
      {"body missing",
       [](hv_request_record &r) {
         r.body_kind = HV_BODY_BYTES;
         r.body_len = 5;
       },
       HV_ERR_INVALID_ARGUMENT},
      {"cache mode", [](hv_request_record &r) { r.cache_mode = HV_CACHE_MODE_MAX + 1; },
       HV_ERR_INVALID_ARGUMENT},
      {"redirect mode", [](hv_request_record &r) { r.redirect_mode = HV_REDIRECT_MODE_MAX + 1; },
       HV_ERR_INVALID_ARGUMENT},
      {"priority", [](hv_request_record &r) { r.priority = HV_PRIORITY_MAX + 1; },
       HV_ERR_INVALID_ARGUMENT},
      {"url missing", [](hv_request_record &r) { r.url = nullptr; }, HV_ERR_INVALID_ARGUMENT},
      {"empty bytes body", [](hv_request_record &r) { r.body_kind = HV_BODY_BYTES; }, HV_OK},
      {"every priority", [](hv_request_record &r) { r.priority = HV_PRIORITY_MAX; }, HV_OK},
  };
  const std::string url = "http://127.0.0.1/", method = "GET";
  for (const Case &c : cases) {
    hv_request_record r{};
    r.size = sizeof r;
    r.abi = HV_ABI_VERSION;
    r.url = reinterpret_cast<const uint8_t *>(url.data());
    r.url_len = static_cast<uint32_t>(url.size());
    r.method = reinterpret_cast<const uint8_t *>(method.data());
    r.method_len = static_cast<uint32_t>(method.size());
    r.callbacks = Recorder::table(&recorder_);
    c.edit(r);
    hv_handle request = 5;
    EXPECT_EQ(hv_request_create(engine_, &r, &request), c.expected) << c.name;
    if (request != 0) hv_request_release(request);
  }
  hv_handle request = 5;
  EXPECT_EQ(hv_request_create(engine_, nullptr, &request), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(request, 0u);
  EXPECT_EQ(create_request(engine_, url, {}, &recorder_, nullptr), HV_ERR_INVALID_ARGUMENT);
}

TEST_F(RequestRecordTest, UnknownHandlesAreRefused) {
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine_, "http://127.0.0.1/", {}, &recorder_, &request), HV_OK);
  hv_request_release(request);
  hv_request_release(request);  // a second release is ignored
  for (hv_handle h : {hv_handle{0}, request, engine_, hv_handle{0xdeadbeef}}) {
    EXPECT_EQ(hv_request_start(h), HV_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(hv_request_cancel(h), HV_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(hv_request_follow_redirect(h), HV_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(hv_request_resume_read(h), HV_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(hv_request_upload_write(h, nullptr, 0, 1), HV_ERR_INVALID_ARGUMENT);
  }
  hv_handle other = 0;
  EXPECT_EQ(create_request(request, "http://127.0.0.1/", {}, &recorder_, &other),
            HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(recorder_.completion_count(), 0);  // nothing was started
}

TEST(Abi, VersionAndUnknownWebSocketHandles) {
  EXPECT_EQ(hv_abi_version(), 8u);
  const std::string version = hv_version_string();
  EXPECT_EQ(version.rfind("halvane/", 0), 0u) << version;
  EXPECT_NE(version.find(" libcurl/"), std::string::npos);
  // The Core's own AWS-LC, or the system's OpenSSL in builds without it.
  EXPECT_TRUE(version.find(" AWS-LC/") != std::string::npos ||
              version.find(" OpenSSL/") != std::string::npos)
      << version;
  EXPECT_NE(version.find(" Boost/"), std::string::npos);

  hv_handle ws = 3;
  EXPECT_EQ(hv_websocket_create(0, nullptr, &ws), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(ws, 0u);
  const hv_handle unknown = static_cast<hv_handle>(-2);
  EXPECT_EQ(hv_websocket_start(unknown), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_websocket_send(unknown, HV_MESSAGE_TEXT, nullptr, 0), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_websocket_close(unknown, 1000, nullptr, 0), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_websocket_cancel(unknown), HV_ERR_INVALID_ARGUMENT);
  hv_websocket_release(unknown);
}

}  // namespace
