// A forked child inherits the parent's engines, requests and WebSockets but
// none of their threads: there every call on them fails at once and
// releasing them frees nothing of the parent's. The parent goes on as before.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"
#include "local_server.h"
#include "ws_harness.h"

using namespace nettest;

namespace {

// "/ok" answers at once, "/ws" echoes WebSocket messages, anything else is
// never answered.
LocalServer::Handler fork_handler() {
  auto upgrade = websocket_handler(echo);
  return [upgrade](Connection &c, const std::string &head) {
    if (head.rfind("GET /ws ", 0) == 0) return upgrade(c, head);
    if (head.rfind("GET /ok ", 0) == 0) c.send(ok_head(2) + "ok");
    c.wait_closed();
  };
}

struct Inherited {
  hv_handle engine, idle, stalled, ws;
};

// The child's side; returns 0, or the number of the first check that failed.
int child_checks(const Inherited &h, const LocalServer &server) {
  WsRecorder wr;
  Recorder rr;
  hv_handle out = 1;
  int step = 0;
  auto check = [&step](bool ok) { return ++step, ok; };
  if (!check(create_request(h.engine, server.url("/ok"), {}, &rr, &out) == HV_ERR_INVALID_STATE))
    return step;
  if (!check(out == 0)) return step;
  if (!check(create_websocket(h.engine, ws_url(server, "/ws"), {}, &wr, &out) ==
             HV_ERR_INVALID_STATE))
    return step;
  if (!check(hv_request_start(h.idle) == HV_ERR_INVALID_STATE)) return step;
  if (!check(hv_request_cancel(h.stalled) == HV_ERR_INVALID_STATE)) return step;
  if (!check(send_text(h.ws, "child") == HV_ERR_INVALID_STATE)) return step;
  if (!check(hv_websocket_cancel(h.ws) == HV_ERR_INVALID_STATE)) return step;
  // Would join threads that are not in this process.
  hv_request_release(h.idle);
  hv_request_release(h.stalled);
  hv_websocket_release(h.ws);
  hv_engine_release(h.engine);
  if (!check(hv_websocket_cancel(h.ws) == HV_ERR_INVALID_ARGUMENT)) return step;
  if (!check(hv_request_start(h.idle) == HV_ERR_INVALID_ARGUMENT)) return step;
  // New engines in a child are tried from a fresh process (test_fork.py):
  // here threads of earlier tests may hold a library's lock at the fork.
  return 0;
}

TEST(Fork, ChildAbandonsInheritedObjectsAndParentCarriesOn) {
  LocalServer server(fork_handler());
  Inherited h{make_engine(), 0, 0, 0};
  Recorder done, idle, stalled;
  hv_handle first = 0;
  ASSERT_EQ(create_request(h.engine, server.url("/ok"), {}, &done, &first), HV_OK);
  ASSERT_EQ(hv_request_start(first), HV_OK);
  ASSERT_TRUE(done.wait_complete());
  hv_request_release(first);
  ASSERT_EQ(create_request(h.engine, server.url("/ok"), {}, &idle, &h.idle), HV_OK);
  ASSERT_EQ(create_request(h.engine, server.url("/stall"), {}, &stalled, &h.stalled), HV_OK);
  ASSERT_EQ(hv_request_start(h.stalled), HV_OK);
  WsRecorder wr;
  ASSERT_EQ(create_websocket(h.engine, ws_url(server, "/ws"), {}, &wr, &h.ws), HV_OK);
  ASSERT_EQ(hv_websocket_start(h.ws), HV_OK);
  ASSERT_TRUE(wr.wait_for(1));

  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    alarm(60);  // a hang ends the child, and the parent sees it
    _exit(child_checks(h, server));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check";

  // The parent's objects were not touched.
  EXPECT_EQ(send_text(h.ws, "parent"), HV_OK);
  ASSERT_TRUE(wr.wait_for(2));
  EXPECT_EQ(wr.snapshot().at(1).data, "parent");
  EXPECT_EQ(hv_request_start(h.idle), HV_OK);
  ASSERT_TRUE(idle.wait_complete());
  EXPECT_EQ(idle.body, "ok");
  EXPECT_EQ(hv_request_cancel(h.stalled), HV_OK);
  ASSERT_TRUE(stalled.wait_complete());
  EXPECT_EQ(close_websocket(h.ws, 1000, ""), HV_OK);
  ASSERT_TRUE(wr.wait_terminal());
  for (const hv_handle r : {h.idle, h.stalled}) hv_request_release(r);
  hv_websocket_release(h.ws);
  hv_engine_release(h.engine);
}

}  // namespace
