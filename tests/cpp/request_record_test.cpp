// The creation record as the Core receives it, and creation failures.
#include <limits>

#include "request_test_support.h"

using namespace request_test;
using halvane::Duration;
using halvane::Error;
using halvane::RequestBody;
using halvane::RequestConfig;

namespace {

class RequestRecordTest : public RequestTest {
 protected:
  fake::RequestRecord create_and_capture(RequestConfig config) {
    make(std::move(config));
    auto records = fake::request_records();
    EXPECT_FALSE(records.empty());
    return records.empty() ? fake::RequestRecord{} : records.back();
  }
};

TEST_F(RequestRecordTest, FieldsReachTheCore) {
  RequestConfig config = RequestConfig::get("https://example.test/path?q=1");
  config.method = "POST";
  config.headers = {{"Accept", "text/html"}, {"X-Dup", "1"}, {"X-Dup", "2"}, {"X-Empty", ""}};
  config.timeout = Duration{2, 250'000'000};
  config.body = RequestBody::Bytes;
  config.body_bytes = {0, 1, 255};
  config.redirect_mode = halvane::RedirectMode::Manual;
  config.cache_mode = halvane::CacheMode::OnlyIfCached;
  config.priority = halvane::Priority::Idle;

  const fake::RequestRecord r = create_and_capture(config);
  EXPECT_EQ(r.size, sizeof(hv_request_record));
  EXPECT_EQ(r.abi, 8u);
  EXPECT_EQ(r.url.bytes, "https://example.test/path?q=1");
  EXPECT_EQ(r.method.bytes, "POST");
  ASSERT_FALSE(r.headers_null);
  ASSERT_EQ(r.header_count, 4u);
  const char *expected[][2] = {
      {"Accept", "text/html"}, {"X-Dup", "1"}, {"X-Dup", "2"}, {"X-Empty", ""}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r.headers[i].name.bytes, expected[i][0]);
    EXPECT_EQ(r.headers[i].value.bytes, expected[i][1]);
  }
  EXPECT_FALSE(r.headers[3].value.is_null) << "empty texts keep their own pointer";
  EXPECT_EQ(r.timeout_ms, 2250u);
  EXPECT_EQ(r.callbacks_size, sizeof(hv_request_callbacks));
  EXPECT_EQ(r.callbacks_abi, 8u);
  EXPECT_NE(r.callbacks.user_data, nullptr);
  EXPECT_NE(r.callbacks.on_response, nullptr);
  EXPECT_NE(r.callbacks.on_body, nullptr);
  EXPECT_NE(r.callbacks.on_complete, nullptr);
  EXPECT_NE(r.callbacks.on_redirect, nullptr);
  EXPECT_EQ(r.body.bytes, std::string("\x00\x01\xff", 3));
  EXPECT_EQ(r.body_kind, 1u);
  EXPECT_EQ(r.redirect_mode, 1u);
  EXPECT_EQ(r.cache_mode, 5u);
  EXPECT_EQ(r.priority, 5u);
}

TEST_F(RequestRecordTest, EmptyTextsKeepPointersAndEmptyListsAreNull) {
  RequestConfig config = RequestConfig::get("");
  config.method = "";
  const fake::RequestRecord r = create_and_capture(config);
  EXPECT_FALSE(r.url.is_null);
  EXPECT_EQ(r.url.len, 0u);
  EXPECT_FALSE(r.method.is_null);
  EXPECT_EQ(r.method.len, 0u);
  EXPECT_TRUE(r.headers_null);
  EXPECT_EQ(r.header_count, 0u);
  EXPECT_TRUE(r.body.is_null);
  EXPECT_EQ(r.timeout_ms, 0u);
}

struct BodyCase {
  RequestBody kind;
  std::vector<uint8_t> bytes;
  bool null;
  uint32_t len;
};

class RequestBodyRecordTest : public RequestRecordTest,
                              public ::testing::WithParamInterface<BodyCase> {};

TEST_P(RequestBodyRecordTest, BodyPointerLengthAndKind) {
  RequestConfig config = RequestConfig::get("http://a/");
  config.body = GetParam().kind;
  config.body_bytes = GetParam().bytes;
  const fake::RequestRecord r = create_and_capture(config);
  EXPECT_EQ(r.body.is_null, GetParam().null);
  EXPECT_EQ(r.body.len, GetParam().len);
  EXPECT_EQ(r.body_kind, static_cast<uint32_t>(GetParam().kind));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, RequestBodyRecordTest,
    ::testing::Values(BodyCase{RequestBody::None, {}, true, 0},
                      BodyCase{RequestBody::None, {1, 2}, true, 0},  // bytes ignored
                      BodyCase{RequestBody::Bytes, {}, true, 0},     // kind 1, NULL, 0
                      BodyCase{RequestBody::Bytes, {7, 8, 9}, false, 3},
                      BodyCase{RequestBody::Streamed, {}, true, 0}));

struct TimeoutCase {
  std::optional<Duration> timeout;
  uint64_t millis;
};

class RequestTimeoutRecordTest : public RequestRecordTest,
                                 public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(RequestTimeoutRecordTest, WholeMilliseconds) {
  RequestConfig config = RequestConfig::get("http://a/");
  config.timeout = GetParam().timeout;
  EXPECT_EQ(create_and_capture(config).timeout_ms, GetParam().millis);
}

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Timeouts, RequestTimeoutRecordTest,
    ::testing::Values(TimeoutCase{std::nullopt, 0}, TimeoutCase{Duration{1, 500'000'000}, 1500},
                      TimeoutCase{Duration{0, 900'000}, 0},  // below 1 ms: none
                      TimeoutCase{Duration{0, 999'999'999}, 999},
                      TimeoutCase{Duration{kMaxU64 / 1000, 999'999'999}, kMaxU64},
                      TimeoutCase{Duration{kMaxU64, 0}, kMaxU64}));

struct CreateFailure {
  int32_t code;
  uint64_t handle;
  Error error;
};

class RequestCreateFailureTest : public RequestTest,
                                 public ::testing::WithParamInterface<CreateFailure> {};

TEST_P(RequestCreateFailureTest, MapsTheResultAndFreesTheSharedState) {
  const long before = halvane::RequestShared::live_count();
  fake_push_result("hv_request_create", GetParam().code);
  fake_push_handle("hv_request_create", GetParam().handle);
  auto request = engine_->request(RequestConfig::get("http://a/"));
  ASSERT_FALSE(request.ok());
  EXPECT_EQ(request.error(), GetParam().error);
  EXPECT_EQ(halvane::RequestShared::live_count(), before);
  EXPECT_EQ(calls("hv_request_release"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Failures, RequestCreateFailureTest,
                         ::testing::Values(CreateFailure{8, 0, Error::Kind::Network},
                                           CreateFailure{0, 0, Error::Kind::InitializationFailed},
                                           CreateFailure{-3, 0, Error::native(-3)}));

TEST_F(RequestTest, UploadArgumentsReachTheCore) {
  Started s = start();
  const uint8_t data[] = {'a', 'b', 'c'};
  ASSERT_TRUE(s.request.upload_write(data, false).ok());
  ASSERT_TRUE(s.request.upload_write({}, true).ok());
  ASSERT_TRUE(s.request.upload_finish().ok());
  fake_push_result("hv_request_upload_write", 5);
  auto refused = s.request.upload_write(data, true);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), Error::Kind::InvalidState);

  const auto writes = fake::upload_writes(s.handle);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].data.bytes, "abc");
  EXPECT_FALSE(writes[0].data.is_null);
  EXPECT_EQ(writes[0].final_chunk, 0u);
  for (size_t i : {1, 2}) {
    EXPECT_TRUE(writes[i].data.is_null);
    EXPECT_EQ(writes[i].data.len, 0u);
    EXPECT_EQ(writes[i].final_chunk, 1u);
  }
  EXPECT_STREQ(fake_request_upload_json(s.handle, 0),
               R"({"null": false, "len": 3, "hex": "616263", "final": 0})");
}

TEST_F(RequestTest, OversizedUploadIsRefusedWithoutCallingTheCore) {
  if constexpr (sizeof(size_t) > sizeof(uint32_t)) {
    Started s = start();
    const uint8_t byte = 0;
    // Never read: the length is checked before anything is passed on.
    std::span<const uint8_t> huge(&byte, size_t{UINT32_MAX} + 1);
    auto result = s.request.upload_write(huge, true);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error::Kind::InvalidArgument);
    EXPECT_EQ(calls("hv_request_upload_write"), 0u);
  } else {
    GTEST_SKIP() << "lengths cannot exceed 32 bits here";
  }
}

}  // namespace
