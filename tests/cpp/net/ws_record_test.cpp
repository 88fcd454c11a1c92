// The WebSocket record is checked whole before anything is kept: sizes, ABI
// numbers, URLs and every field that goes into the handshake.
#include <gtest/gtest.h>

#include "harness.h"
#include "ws_harness.h"

using namespace nettest;

namespace {

constexpr int32_t kOk = 0, kInvalidArgument = 1, kUnsupportedAbi = 2;

class WebSocketRecord : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override { hv_engine_release(engine_); }

  int32_t create(const std::string &url, const WsOptions &options = {}) {
    hv_handle ws = 0;
    const int32_t code = create_websocket(engine_, url, options, &recorder_, &ws);
    EXPECT_EQ(code == kOk, ws != 0);
    if (ws != 0) hv_websocket_release(ws);
    return code;
  }

  hv_handle engine_ = 0;
  WsRecorder recorder_;
};

TEST_F(WebSocketRecord, UrlSchemes) {
  EXPECT_EQ(create("ws://127.0.0.1:1/path?q=1#fragment"), kOk);
  EXPECT_EQ(create("WSS://Example.test/"), kOk);
  EXPECT_EQ(create("ws://[::1]:8080/"), kOk);
  for (const char *bad : {"http://127.0.0.1/", "ftp://h/", "ws://", "ws://h:0/", "ws://h:65536/",
                          "ws://h/a b", "ws://h/\r\n", ""})
    EXPECT_EQ(create(bad), kInvalidArgument) << bad;
}

TEST_F(WebSocketRecord, HandshakeFields) {
  const std::string url = "ws://127.0.0.1:1/";
  EXPECT_EQ(create(url, ws_options("https://o.test", {"a", "b.c"}, {{"X-A", "1"}, {"X-A", ""}}, 5)),
            kOk);
  EXPECT_EQ(create(url, ws_options("o\r\nX: 1")), kInvalidArgument);
  EXPECT_EQ(create(url, ws_options(std::string("o\0", 2))), kInvalidArgument);
  EXPECT_EQ(create(url, ws_options("", {"a b"})), kInvalidArgument);
  EXPECT_EQ(create(url, ws_options("", {""})), kInvalidArgument);
  EXPECT_EQ(create(url, ws_options("", {"a", "a"})), kInvalidArgument);
  EXPECT_EQ(create(url, ws_options("", {}, {{"X-A", "1\n2"}})), kInvalidArgument);
  EXPECT_EQ(create(url, ws_options("", {}, {{"X A", "1"}})), kInvalidArgument);
  // A Sec-WebSocket-Protocol header adds to the requested sub-protocols.
  EXPECT_EQ(create(url, ws_options("", {}, {{"Sec-WebSocket-Protocol", "a, b"}})), kOk);
  EXPECT_EQ(create(url, ws_options("", {"a"}, {{"Sec-WebSocket-Protocol", "b, a"}})),
            kInvalidArgument);
  EXPECT_EQ(create(url, ws_options("", {}, {{"Sec-WebSocket-Protocol", "a,,b"}})),
            kInvalidArgument);
}

TEST_F(WebSocketRecord, SizesAbiAndPointers) {
  const std::string url = "ws://127.0.0.1:1/";
  hv_websocket_record record{};
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  record.url = reinterpret_cast<const uint8_t *>(url.data());
  record.url_len = static_cast<uint32_t>(url.size());
  record.callbacks = WsRecorder::table(&recorder_);
  hv_handle ws = 0;

  auto attempt = [&](hv_websocket_record r) {
    ws = 77;
    const int32_t code = hv_websocket_create(engine_, &r, &ws);
    if (ws != 0) hv_websocket_release(ws);
    return code;
  };
  EXPECT_EQ(attempt(record), kOk);
  auto r = record;
  r.size -= 1;
  EXPECT_EQ(attempt(r), kInvalidArgument);
  r = record;
  r.abi = 7;
  EXPECT_EQ(attempt(r), kUnsupportedAbi);
  r = record;
  r.callbacks.size = 8;
  EXPECT_EQ(attempt(r), kInvalidArgument);
  r = record;
  r.callbacks.abi = 9;
  EXPECT_EQ(attempt(r), kUnsupportedAbi);
  r = record;
  r.protocol_count = 1;  // with no list
  EXPECT_EQ(attempt(r), kInvalidArgument);
  r = record;
  r.header_count = 2;
  EXPECT_EQ(attempt(r), kInvalidArgument);
  r = record;
  r.url = nullptr;
  EXPECT_EQ(attempt(r), kInvalidArgument);
  r = record;
  r.origin_len = 3;  // with no bytes
  EXPECT_EQ(attempt(r), kInvalidArgument);
  EXPECT_EQ(ws, 0u);
  EXPECT_EQ(hv_websocket_create(engine_, nullptr, &ws), kInvalidArgument);
  EXPECT_EQ(hv_websocket_create(engine_, &record, nullptr), kInvalidArgument);
  EXPECT_EQ(hv_websocket_create(engine_ + 1000, &record, &ws), kInvalidArgument);
}

}  // namespace
