// A small TCP server on 127.0.0.1 for the Core's tests: each connection runs
// the handler on a thread of its own with the request head already read.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  bool send(const std::string &data);
  // Blocks until the peer closes or the server stops, reading and dropping
  // whatever arrives.
  void wait_closed();
  // The same, but without reading: what the peer sends stays unread.
  void hold();
  int fd() const { return fd_; }

 private:
  int fd_;
};

class LocalServer {
 public:
  using Handler = std::function<void(Connection &, const std::string &head)>;

  explicit LocalServer(Handler handler);
  ~LocalServer();
  LocalServer(const LocalServer &) = delete;
  LocalServer &operator=(const LocalServer &) = delete;

  std::string url(const std::string &path) const;
  int connections() const { return connections_.load(); }

 private:
  void accept_loop();

  Handler handler_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<int> open_fds_;
};

// A response head with a body of `body_size` bytes announced.
std::string ok_head(uint64_t body_size);

}  // namespace nettest
