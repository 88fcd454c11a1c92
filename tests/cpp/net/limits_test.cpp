// Heads have limits: a request or handshake head over 256 KiB, or with
// control characters, is refused before anything exists; a response head over
// 256 KiB fails as malformed; and no refused or failed request keeps an
// origin from the next one.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "harness.h"
#include "local_server.h"
#include "ws_harness.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

constexpr size_t kLimit = 256 * 1024;

using Headers = std::vector<std::pair<std::string, std::string>>;

Headers many_headers(size_t count) {
  Headers headers;
  for (size_t i = 0; i < count; ++i) headers.emplace_back("X-H" + std::to_string(i), "v");
  return headers;
}

TEST(RequestHead, SizeAndControlCharactersAreCheckedUpFront) {
  const hv_handle engine = make_engine();
  const std::string url = "http://127.0.0.1:1/";
  // "GET " + url + " HTTP/1.1\r\n" and "X: value\r\n" make the head.
  const size_t room = kLimit - (3 + url.size() + 12) - (1 + 4);
  struct Case {
    std::string url;
    Headers headers;
    int32_t expected;
  };
  const Case cases[] = {
      {url, {{"X", std::string(room, 'a')}}, HV_OK},
      {url, {{"X", std::string(room + 1, 'a')}}, HV_ERR_INVALID_ARGUMENT},
      {url, {{"X-Big", std::string(2 << 20, 'a')}}, HV_ERR_INVALID_ARGUMENT},
      {url + std::string(3 << 20, 'p'), {}, HV_ERR_INVALID_ARGUMENT},
      {url, many_headers(50000), HV_ERR_INVALID_ARGUMENT},
      {url, {{"X", "tab\tand obs-text \xff"}}, HV_OK},
      {url, {{"X", "bell\a"}}, HV_ERR_INVALID_ARGUMENT},
      {url, {{"X", "escape\x1b[0m"}}, HV_ERR_INVALID_ARGUMENT},
      {url, {{"X", "del\x7f"}}, HV_ERR_INVALID_ARGUMENT},
  };
  for (const Case &c : cases) {
    Recorder r;
    RequestOptions o;
    o.headers = c.headers;
    hv_handle request = 0;
    EXPECT_EQ(create_request(engine, c.url, o, &r, &request), c.expected)
        << c.url.size() << " " << c.headers.size();
    if (request != 0) hv_request_release(request);
  }
  hv_engine_release(engine);
}

TEST(RequestHead, HandshakesAndEngineDefaultsAlike) {
  const hv_handle engine = make_engine();
  const std::string url = "ws://127.0.0.1:1/";
  const std::pair<WsOptions, int32_t> cases[] = {
      {ws_options("o", {}, {{"X", std::string(kLimit, 'a')}}), HV_ERR_INVALID_ARGUMENT},
      {ws_options("o", {}, many_headers(50000)), HV_ERR_INVALID_ARGUMENT},
      {ws_options(std::string(kLimit, 'o')), HV_ERR_INVALID_ARGUMENT},
      {ws_options("o", std::vector<std::string>(100000, "p")), HV_ERR_INVALID_ARGUMENT},
      {ws_options("o\x01"), HV_ERR_INVALID_ARGUMENT},
      {ws_options("o\x7f"), HV_ERR_INVALID_ARGUMENT},
      {ws_options("o", {}, {{"X", "a\x1f"}}), HV_ERR_INVALID_ARGUMENT},
      {ws_options("o\t", {}, {{"X", "a\tb"}}), HV_OK},
  };
  for (const auto &[options, expected] : cases) {
    WsRecorder r;
    hv_handle ws = 0;
    EXPECT_EQ(create_websocket(engine, url, options, &r, &ws), expected) << options.origin.size();
    if (ws != 0) hv_websocket_release(ws);
  }
  hv_engine_release(engine);

  for (const std::string &user_agent : {std::string("ua\x01"), std::string(kLimit + 1, 'u')}) {
    hv_engine_record record = engine_record();
    record.user_agent = reinterpret_cast<const uint8_t *>(user_agent.data());
    record.user_agent_len = static_cast<uint32_t>(user_agent.size());
    hv_handle refused = 0;
    EXPECT_EQ(hv_engine_create(&record, &refused), HV_ERR_INVALID_ARGUMENT);
  }
}

// Two requests at once to an origin that has no connection yet: the second
// must not wait for the first one's answer to learn whether the connection
// could be shared (it cannot, in clear text). Here the first answer waits for
// the second request, so a wait would only end with the first one's timeout.
TEST(Origin, ConcurrentRequestsInClearTextEachGetAConnection) {
  std::mutex mutex;
  std::condition_variable changed;
  bool first_arrived = false, second_arrived = false, stopping = false;
  LocalServer server([&](Connection &c, const std::string &head) {
    std::unique_lock lock(mutex);
    if (head.starts_with("GET /second ")) {
      second_arrived = true;
      changed.notify_all();
    } else {
      first_arrived = true;
      changed.notify_all();
      changed.wait(lock, [&] { return second_arrived || stopping; });
    }
    lock.unlock();
    c.send(ok_head(2) + "ok");
    c.wait_closed();
  });
  const hv_handle engine = make_engine();
  Recorder first, second;
  RequestOptions o;
  o.timeout_ms = 30000;
  hv_handle requests[2] = {};
  ASSERT_EQ(create_request(engine, server.url("/first"), o, &first, &requests[0]), HV_OK);
  ASSERT_EQ(create_request(engine, server.url("/second"), o, &second, &requests[1]), HV_OK);
  ASSERT_EQ(hv_request_start(requests[0]), HV_OK);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return first_arrived; }));
  }
  ASSERT_EQ(hv_request_start(requests[1]), HV_OK);
  ASSERT_TRUE(first.wait_complete(60s));
  ASSERT_TRUE(second.wait_complete(60s));
  EXPECT_EQ(first.code, HV_OK);
  EXPECT_EQ(second.code, HV_OK);
  EXPECT_EQ(server.connections(), 2);
  for (hv_handle h : requests) hv_request_release(h);
  hv_engine_release(engine);
  std::lock_guard lock(mutex);
  stopping = true;
  changed.notify_all();
}

TEST(ResponseHead, OverTheLimitIsAMalformedResponse) {
  auto lines = [](size_t count, size_t value) {
    std::string head;
    for (size_t i = 0; i < count; ++i)
      head += "X-" + std::to_string(i) + ": " + std::string(value, 'v') + "\r\n";
    return head;
  };
  const std::pair<std::string, int32_t> cases[] = {
      {lines(1, 1 << 20), -325},          // one line beyond libcurl's own line limit
      {lines(100000, 1), -325},           // libcurl's head limit or ours
      {lines(3, 100 * 1024 - 20), -325},  // under libcurl's limits, over ours
      {lines(100, 2000), 0},              // 200 KiB
  };
  for (const auto &[fields, net_error] : cases) {
    Recorder r;
    ASSERT_TRUE(fetch_canned("HTTP/1.1 200 OK\r\n" + fields + "Content-Length: 2\r\n\r\nok", r))
        << fields.size();
    EXPECT_EQ(r.code, net_error == 0 ? HV_OK : HV_ERR_PROTOCOL) << fields.size();
    EXPECT_EQ(r.net_error, net_error) << fields.size();
    EXPECT_EQ(r.status, net_error == 0 ? 200 : 0);
  }
}

}  // namespace
