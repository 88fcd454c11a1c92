// Drives the Core's WebSocket interface the way a binding would, records
// what its callbacks deliver, and serves WebSockets from a LocalServer with
// Beast on the server side.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halvane/hv_abi.h"
#include "local_server.h"

namespace nettest {

struct WsEvent {
  std::string kind;  // open, text, binary, closing, closed, failure
  std::string data;  // protocol, payload, close reason or failure message
  int32_t code = 0;  // close code, or the Core code of a failure
  int32_t net_error = 0;
  int32_t response_code = 0;
  bool clean = false;
};

struct WsRecorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<WsEvent> events;
  std::vector<std::thread::id> threads;
  int terminals = 0;
  bool after_terminal = false;  // a callback came after the terminal one
  // Runs first in every callback, on the callback's thread, with no lock
  // held: set before the start.
  std::function<void(hv_handle ws, const std::string &kind)> hook;

  static hv_websocket_callbacks table(WsRecorder *r);

  bool wait_for(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  bool wait_terminal(std::chrono::milliseconds limit = std::chrono::seconds(20));
  std::vector<WsEvent> snapshot();
};

struct WsOptions {
  std::string origin;
  std::vector<std::string> protocols;
  std::vector<std::pair<std::string, std::string>> headers;
  uint64_t timeout_ms = 0;
};

inline WsOptions ws_options(std::string origin, std::vector<std::string> protocols = {},
                            std::vector<std::pair<std::string, std::string>> headers = {},
                            uint64_t timeout_ms = 0) {
  WsOptions options;
  options.origin = std::move(origin);
  options.protocols = std::move(protocols);
  options.headers = std::move(headers);
  options.timeout_ms = timeout_ms;
  return options;
}

// Owns the arrays the record points into while hv_websocket_create runs.
int32_t create_websocket(hv_handle engine, const std::string &url, const WsOptions &options,
                         WsRecorder *recorder, hv_handle *out);

int32_t send_text(hv_handle ws, const std::string &text);
int32_t close_websocket(hv_handle ws, uint32_t code, const std::string &reason);

// What a test server does with one upgraded connection: read and write
// through the functions given (sync, on the connection's own thread).
struct ServerSide {
  std::function<bool(std::string &message, bool &text)> read;  // false once it ends
  std::function<bool(const std::string &message, bool text)> write;
  std::function<void(uint16_t code, const std::string &reason)> close;
  std::string target;
};

// A LocalServer that accepts WebSocket upgrades and hands each connection
// to `behaviour`.
LocalServer::Handler websocket_handler(std::function<void(ServerSide &)> behaviour);

// Echoes every message until the client closes.
void echo(ServerSide &side);

// "ws://127.0.0.1:port/path" of a LocalServer.
std::string ws_url(const LocalServer &server, const std::string &path);

}  // namespace nettest
