// The extension entries of our own Core through its C interface: records
// checked before anything is made, and the jar read and changed in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

using namespace nettest;

namespace {

const uint8_t *bytes(const std::string &text) {
  return reinterpret_cast<const uint8_t *>(text.data());
}

// The record points into the literals, which outlive it.
hv_ext_cookie cookie_record(const char *name, const char *value, const char *domain,
                            const char *path) {
  auto text = [](const char *s, const uint8_t *&data, uint32_t &len) {
    data = reinterpret_cast<const uint8_t *>(s);
    len = static_cast<uint32_t>(std::strlen(s));
  };
  hv_ext_cookie c{};
  c.size = sizeof c;
  text(name, c.name, c.name_len);
  text(value, c.value, c.value_len);
  text(domain, c.domain, c.domain_len);
  text(path, c.path, c.path_len);
  return c;
}

struct Listed {
  std::string name, value, domain, path;
  uint32_t host_only;
  int64_t expires;
  bool operator==(const Listed &) const = default;
};

std::vector<Listed> list(hv_handle engine) {
  std::vector<Listed> out;
  auto collect = [](void *user, const hv_ext_cookie *c) {
    auto text = [](const uint8_t *p, uint32_t n) {
      return std::string(reinterpret_cast<const char *>(p), n);
    };
    static_cast<std::vector<Listed> *>(user)->push_back(
        {text(c->name, c->name_len), text(c->value, c->value_len), text(c->domain, c->domain_len),
         text(c->path, c->path_len), c->host_only, c->expires});
  };
  EXPECT_EQ(hv_ext_cookies_list(engine, collect, &out), HV_OK);
  return out;
}

class ExtEntries : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override { hv_engine_release(engine_); }
  hv_handle engine_ = 0;
};

TEST_F(ExtEntries, JarRoundTrip) {
  hv_ext_cookie a = cookie_record("a", "1", ".Example.test", "/");
  a.host_only = 1;
  a.expires = 4'000'000'000;
  ASSERT_EQ(hv_ext_cookie_set(engine_, &a), HV_OK);
  hv_ext_cookie b = cookie_record("b", "", "other.test", "/x");
  ASSERT_EQ(hv_ext_cookie_set(engine_, &b), HV_OK);
  hv_ext_cookie a2 = cookie_record("a", "2", "example.test", "/");
  a2.host_only = 1;
  ASSERT_EQ(hv_ext_cookie_set(engine_, &a2), HV_OK);  // replaces a
  auto jar = list(engine_);
  std::sort(jar.begin(), jar.end(), [](auto &l, auto &r) { return l.name < r.name; });
  EXPECT_EQ(jar, (std::vector<Listed>{{"a", "2", "example.test", "/", 1, 0},
                                      {"b", "", "other.test", "/x", 0, 0}}));
  uint32_t removed = 99;
  const std::string domain = ".other.test";
  ASSERT_EQ(hv_ext_cookies_delete(engine_, bytes(domain), static_cast<uint32_t>(domain.size()),
                                  nullptr, 0, nullptr, 0, &removed),
            HV_OK);
  EXPECT_EQ(removed, 1u);
  ASSERT_EQ(hv_ext_cookies_delete(engine_, nullptr, 0, nullptr, 0, nullptr, 0, &removed), HV_OK);
  EXPECT_EQ(removed, 1u);
  EXPECT_TRUE(list(engine_).empty());
}

TEST_F(ExtEntries, JarRefusals) {
  std::vector<hv_ext_cookie> refused = {
      cookie_record("", "v", "a.test", "/"),    cookie_record("a;", "v", "a.test", "/"),
      cookie_record("a", "v\t", "a.test", "/"), cookie_record("a", "v", "", "/"),
      cookie_record("a", "v", "a.test", "x"),   cookie_record("a=b", "v", "a.test", "/"),
      cookie_record("a", "v", "a.test/p", "/"),
  };
  hv_ext_cookie small = cookie_record("a", "v", "a.test", "/");
  small.size -= 4;
  refused.push_back(small);
  hv_ext_cookie flag = cookie_record("a", "v", "a.test", "/");
  flag.secure = 2;
  refused.push_back(flag);
  for (const hv_ext_cookie &c : refused)
    EXPECT_EQ(hv_ext_cookie_set(engine_, &c), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_ext_cookie_set(engine_, nullptr), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_ext_cookies_list(engine_, nullptr, nullptr), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_ext_cookies_delete(engine_, nullptr, 3, nullptr, 0, nullptr, 0, nullptr),
            HV_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(list(engine_).empty());
}

TEST_F(ExtEntries, UnknownHandles) {
  hv_ext_cookie c = cookie_record("a", "v", "a.test", "/");
  EXPECT_EQ(hv_ext_cookie_set(0, &c), HV_ERR_INVALID_ARGUMENT);
  uint32_t state = 9;
  EXPECT_EQ(hv_ext_request_cache_state(0, &state), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(state, static_cast<uint32_t>(HV_EXT_CACHE_STATE_UNKNOWN));
  EXPECT_EQ(hv_ext_websocket_ping(0, nullptr, 0), HV_ERR_INVALID_ARGUMENT);
}

TEST_F(ExtEntries, RequestOptionsAreChecked) {
  Recorder recorder;
  const std::string url = "http://127.0.0.1:9/";
  const std::string method = "GET";
  hv_request_record record{};
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  record.url = bytes(url);
  record.url_len = static_cast<uint32_t>(url.size());
  record.method = bytes(method);
  record.method_len = static_cast<uint32_t>(method.size());
  record.callbacks = Recorder::table(&recorder);

  hv_handle request = 77;
  EXPECT_EQ(hv_ext_request_create(engine_, &record, nullptr, &request), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(request, 0u);
  hv_ext_request_options options{};
  options.size = sizeof options - 4;
  EXPECT_EQ(hv_ext_request_create(engine_, &record, &options, &request), HV_ERR_INVALID_ARGUMENT);
  options.size = sizeof options;
  options.connect_timeout_ms = 100;
  ASSERT_EQ(hv_ext_request_create(engine_, &record, &options, &request), HV_OK);
  ASSERT_NE(request, 0u);
  uint32_t state = 9;
  EXPECT_EQ(hv_ext_request_cache_state(request, &state), HV_OK);
  EXPECT_EQ(state, static_cast<uint32_t>(HV_EXT_CACHE_STATE_UNKNOWN));  // no head yet
  hv_request_release(request);
}

}  // namespace
