// The codes a server's close frame may carry: the registered ones end the
// WebSocket cleanly; any other fails it as a protocol error, whether Beast
// or the Core itself refuses it.
#include <gtest/gtest.h>

#include "harness.h"
#include "ws_harness.h"

using namespace nettest;

namespace {

constexpr int32_t kWsProtocolError = -145;

// "/close?N" closes at once with code N.
LocalServer::Handler closing_handler() {
  return websocket_handler([](ServerSide &side) {
    side.close(static_cast<uint16_t>(std::stoul(side.target.substr(side.target.find('?') + 1))),
               "why");
    std::string message;
    bool text = false;
    while (side.read(message, text)) {
    }
  });
}

class ServerCloseCode : public testing::TestWithParam<uint32_t> {};

TEST_P(ServerCloseCode, IsAcceptedOnlyWhenRegistered) {
  const uint32_t code = GetParam();
  const bool allowed = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1013) ||
                       (code >= 3000 && code <= 4999);
  LocalServer server(closing_handler());
  const hv_handle engine = make_engine();
  WsRecorder r;
  hv_handle ws = 0;
  ASSERT_EQ(create_websocket(engine, ws_url(server, "/close?" + std::to_string(code)), {}, &r, &ws),
            HV_OK);
  ASSERT_EQ(hv_websocket_start(ws), HV_OK);
  ASSERT_TRUE(r.wait_terminal());
  const auto events = r.snapshot();
  const WsEvent &end = events.back();
  if (allowed) {
    EXPECT_EQ(end.kind, "closed");
    EXPECT_EQ(end.code, static_cast<int32_t>(code));
    EXPECT_EQ(end.data, "why");
    EXPECT_TRUE(end.clean);
  } else {
    EXPECT_EQ(events.size(), 2u);  // open, then the failure: no closing
    EXPECT_EQ(end.kind, "failure");
    EXPECT_EQ(end.code, HV_ERR_PROTOCOL);
    EXPECT_EQ(end.net_error, kWsProtocolError);
    EXPECT_EQ(end.data, "The WebSocket close frame reason code was invalid");
  }
  hv_websocket_release(ws);
  hv_engine_release(engine);
}

INSTANTIATE_TEST_SUITE_P(Codes, ServerCloseCode,
                         testing::Values(1000, 1013, 3000, 4999,                      // registered
                                         1, 999, 1004, 1005, 1006, 1015, 1016, 2999,  // reserved
                                         5000, 65535));                               // unassigned

}  // namespace
