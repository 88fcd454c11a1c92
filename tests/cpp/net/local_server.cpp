#include "local_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace nettest {

bool Connection::send(const std::string &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void Connection::wait_closed() {
  char buffer[4096];
  while (::recv(fd_, buffer, sizeof buffer, 0) > 0) {
  }
}

void Connection::hold() {
  for (;;) {
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 100) < 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) return;
  }
}

LocalServer::LocalServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

LocalServer::~LocalServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  ::close(listener_);
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);  // ends wait_closed()
  }
  for (std::thread &t : workers_) t.join();
}

std::string LocalServer::url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalServer::accept_loop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard lock(mutex_);
    open_fds_.push_back(fd);
    workers_.emplace_back([this, fd] {
      std::string head;
      char c;
      while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
      Connection connection(fd);
      if (!head.empty()) handler_(connection, head);
      std::lock_guard lock(mutex_);
      open_fds_.erase(std::find(open_fds_.begin(), open_fds_.end(), fd));
      ::close(fd);
    });
  }
}

std::string ok_head(uint64_t body_size) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_size) + "\r\n\r\n";
}

}  // namespace nettest
