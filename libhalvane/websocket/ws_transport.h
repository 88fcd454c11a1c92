// The byte stream under a WebSocket, layered at run time: a TCP socket, TLS
// to an https proxy on it when there is one, and TLS to the server on top
// when the URL is wss. Beast's WebSocket stream sits on a Transport and sees
// one stream whatever the layers. Loop thread only.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <chrono>
#include <optional>
#include <utility>

namespace hvcore {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

// The connection to the first hop: the server itself, or the proxy.
class FirstHop {
 public:
  using executor_type = tcp::socket::executor_type;
  using lowest_layer_type = tcp::socket::lowest_layer_type;

  explicit FirstHop(const executor_type &executor) : socket_(executor) {}
  FirstHop(const FirstHop &) = delete;
  FirstHop &operator=(const FirstHop &) = delete;

  executor_type get_executor() { return socket_.get_executor(); }
  lowest_layer_type &lowest_layer() { return socket_.lowest_layer(); }
  tcp::socket &socket() { return socket_; }

  // TLS to an https proxy, before anything else is sent.
  beast::ssl_stream<tcp::socket &> &start_tls(asio::ssl::context &context) {
    return tls_.emplace(socket_, context);
  }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers &buffers, Handler &&handler) {
    if (tls_)
      tls_->async_read_some(buffers, std::forward<Handler>(handler));
    else
      socket_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers &buffers, Handler &&handler) {
    if (tls_)
      tls_->async_write_some(buffers, std::forward<Handler>(handler));
    else
      socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }

 private:
  tcp::socket socket_;
  std::optional<beast::ssl_stream<tcp::socket &>> tls_;
};

class Transport {
 public:
  using executor_type = FirstHop::executor_type;

  explicit Transport(const executor_type &executor) : hop_(executor), teardown_timer_(executor) {}
  Transport(const Transport &) = delete;
  Transport &operator=(const Transport &) = delete;

  executor_type get_executor() { return hop_.get_executor(); }
  FirstHop &hop() { return hop_; }

  // TLS to the server, once the first hop reaches it.
  beast::ssl_stream<FirstHop &> &start_tls(asio::ssl::context &context) {
    return tls_.emplace(hop_, context);
  }

  // Closes the socket: every pending operation ends with an error.
  void close() {
    boost::system::error_code ignored;
    hop_.socket().close(ignored);
  }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers &buffers, Handler &&handler) {
    if (tls_)
      tls_->async_read_some(buffers, std::forward<Handler>(handler));
    else
      hop_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers &buffers, Handler &&handler) {
    if (tls_)
      tls_->async_write_some(buffers, std::forward<Handler>(handler));
    else
      hop_.async_write_some(buffers, std::forward<Handler>(handler));
  }

  // Beast's customisation points: what its timeouts close, and how the end
  // of a closing handshake takes the layers down (asynchronously only: the
  // Core never blocks on a stream).
  friend void beast_close_socket(Transport &transport) { transport.close(); }

  // After both close frames the server is to end the connection (or the TLS
  // session) first. One that never does is cut off after a while, and so is
  // a peer that never reads the close frame Beast sends when it fails the
  // connection. The closing handshake has happened either way, so the
  // teardown always reports success.
  template <typename Handler>
  friend void async_teardown(beast::role_type role, Transport &transport, Handler &&handler) {
    transport.teardown_timer_.expires_after(kTeardownLimit);
    transport.teardown_timer_.async_wait([&transport](const boost::system::error_code &ec) {
      if (!ec) transport.close();
    });
    auto done = [&transport, handler = std::forward<Handler>(handler)](
                    const boost::system::error_code &) mutable {
      transport.teardown_timer_.cancel();
      std::move(handler)(boost::system::error_code());
    };
    using beast::websocket::async_teardown;
    if (transport.tls_)
      async_teardown(role, *transport.tls_, std::move(done));
    else
      async_teardown(role, transport.hop_.socket(), std::move(done));
  }

 private:
  static constexpr auto kTeardownLimit = std::chrono::seconds(2);

  FirstHop hop_;
  std::optional<beast::ssl_stream<FirstHop &>> tls_;
  asio::steady_timer teardown_timer_;
};

}  // namespace hvcore
