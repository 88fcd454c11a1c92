// Drives the Core through its C interface the way a binding would, and
// records what its callbacks deliver.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halvane/hv_abi.h"

namespace nettest {

struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  int status = 0;
  std::string head;
  std::string body;
  std::vector<std::string> redirects;  // "status target method"
  int completions = 0;
  int32_t code = -1;
  int32_t net_error = 0;
  std::vector<std::thread::id> threads;
  std::atomic<int> body_calls{0};
  std::atomic<bool> pause_next{false};  // on_body returns 0 once

  static hv_request_callbacks table(Recorder *r);

  bool wait_complete(std::chrono::milliseconds limit = std::chrono::seconds(20));
  bool wait_head(std::chrono::milliseconds limit = std::chrono::seconds(20));
  int completion_count();
};

struct RequestOptions {
  std::string method = "GET";
  std::vector<std::pair<std::string, std::string>> headers;
  uint32_t body_kind = 0;
  std::string body;
  uint32_t redirect_mode = 0;
  uint64_t timeout_ms = 0;
};

// Owns the arrays the record points into while hv_request_create runs.
int32_t create_request(hv_handle engine, const std::string &url, const RequestOptions &options,
                       Recorder *recorder, hv_handle *out);
// The same with a callback table of the caller's own.
int32_t create_request(hv_handle engine, const std::string &url, const RequestOptions &options,
                       const hv_request_callbacks &callbacks, hv_handle *out);

// Serves `response` to one GET on an engine of its own and records the
// request to its completion; false when it never completed.
bool fetch_canned(const std::string &response, Recorder &r);

hv_engine_record engine_record();
hv_handle make_engine();

// Holds an engine's network thread inside a request callback until released,
// so that a test can act while the Core cannot run. The constructor returns
// once the thread is held.
class NetworkThreadHold {
 public:
  explicit NetworkThreadHold(hv_handle engine);
  ~NetworkThreadHold();  // releases, and waits for the holding request to end
  NetworkThreadHold(const NetworkThreadHold &) = delete;
  NetworkThreadHold &operator=(const NetworkThreadHold &) = delete;

  void release();

 private:
  static void on_response(void *user, hv_handle, int32_t, const uint8_t *, uint32_t);

  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
  Recorder recorder_;
  hv_handle request_ = 0;
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace nettest
