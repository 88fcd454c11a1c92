// The WebSocket record is checked whole before anything is kept: sizes, ABI
// numbers, URLs and every field that goes into the handshake.
#include <gtest/gtest.h>

#include "harness.h"
#include "ws_harness.h"

using namespace nettest;

namespace {

class WebSocketRecord : public testing::Test {
 protected:
  void SetUp() override { engine_ = make_engine(); }
  void TearDown() override { hv_engine_release(engine_); }

  int32_t create(const std::string &url, const WsOptions &options = {}) {
    hv_handle ws = 0;
    const int32_t code = create_websocket(engine_, url, options, &recorder_, &ws);
    EXPECT_EQ(code == HV_OK, ws != 0);
    if (ws != 0) hv_websocket_release(ws);
    return code;
  }

  hv_handle engine_ = 0;
  WsRecorder recorder_;
};

TEST_F(WebSocketRecord, UrlSchemes) {
  EXPECT_EQ(create("ws://127.0.0.1:1/path?q=1#fragment"), HV_OK);
  EXPECT_EQ(create("WSS://Example.test/"), HV_OK);
  EXPECT_EQ(create("ws://[::1]:8080/"), HV_OK);
  for (const char *bad : {"http://127.0.0.1/", "ftp://h/", "ws://", "ws://h:0/", "ws://h:65536/",
                          "ws://h/a b", "ws://h/\r\n", ""})
    EXPECT_EQ(create(bad), HV_ERR_INVALID_ARGUMENT) << bad;
}

TEST_F(WebSocketRecord, HandshakeFields) {
  const std::string url = "ws://127.0.0.1:1/";
  EXPECT_EQ(create(url, ws_options("https://o.test", {"a", "b.c"}, {{"X-A", "1"}, {"X-A", ""}}, 5)),
            HV_OK);
  EXPECT_EQ(create(url, ws_options("o\r\nX: 1")), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options(std::string("o\0", 2))), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options("", {"a b"})), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options("", {""})), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options("", {"a", "a"})), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options("", {}, {{"X-A", "1\n2"}})), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options("", {}, {{"X A", "1"}})), HV_ERR_INVALID_ARGUMENT);
  // A Sec-WebSocket-Protocol header adds to the requested sub-protocols.
  EXPECT_EQ(create(url, ws_options("", {}, {{"Sec-WebSocket-Protocol", "a, b"}})), HV_OK);
  EXPECT_EQ(create(url, ws_options("", {"a"}, {{"Sec-WebSocket-Protocol", "b, a"}})),
            HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(create(url, ws_options("", {}, {{"Sec-WebSocket-Protocol", "a,,b"}})),
            HV_ERR_INVALID_ARGUMENT);
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
  EXPECT_EQ(attempt(record), HV_OK);
  auto r = record;
  r.size -= 1;
  EXPECT_EQ(attempt(r), HV_ERR_INVALID_ARGUMENT);
  r = record;
  r.abi = 7;
  EXPECT_EQ(attempt(r), HV_ERR_UNSUPPORTED_ABI);
  r = record;
  r.callbacks.size = 8;
  EXPECT_EQ(attempt(r), HV_ERR_INVALID_ARGUMENT);
  r = record;
  r.callbacks.abi = 9;
  EXPECT_EQ(attempt(r), HV_ERR_UNSUPPORTED_ABI);
  r = record;
  r.protocol_count = 1;  // with no list
  EXPECT_EQ(attempt(r), HV_ERR_INVALID_ARGUMENT);
  r = record;
  r.header_count = 2;
  EXPECT_EQ(attempt(r), HV_ERR_INVALID_ARGUMENT);
  r = record;
  r.url = nullptr;
  EXPECT_EQ(attempt(r), HV_ERR_INVALID_ARGUMENT);
  r = record;
  r.origin_len = 3;  // with no bytes
  EXPECT_EQ(attempt(r), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(ws, 0u);
  EXPECT_EQ(hv_websocket_create(engine_, nullptr, &ws), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_websocket_create(engine_, &record, nullptr), HV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(hv_websocket_create(engine_ + 1000, &record, &ws), HV_ERR_INVALID_ARGUMENT);
}

}  // namespace
