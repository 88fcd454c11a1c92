// The network side of one WebSocket, on the engine's WebSocket loop: the
// opening steps (name resolution, TCP, the proxy tunnel, TLS, the upgrade),
// then reading messages, sending what the session queued, and closing.
// Every handler keeps the session, and with it this object, alive; every
// handler returns at once after the end. Loop thread only.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "base/url.h"
#include "websocket/ws_failure.h"
#include "websocket/ws_session.h"
#include "websocket/ws_transport.h"

namespace hvcore {

class WsConnection {
 public:
  explicit WsConnection(WsSession &session);
  ~WsConnection();
  WsConnection(const WsConnection &) = delete;
  WsConnection &operator=(const WsConnection &) = delete;

  void start();
  // Sends what the session queued, one item at a time, once open.
  void pump();
  // Ends the connection at once with `failure`.
  void abort(const WsFailure &failure);

 private:
  using Stream = beast::websocket::stream<Transport>;

  // Opening (ws_connect.cpp).
  void resolve();
  void on_resolved(const ErrorCode &ec, const tcp::resolver::results_type &results);
  void on_connected(const ErrorCode &ec);
  void start_proxy_tls();
  void send_connect();
  void on_connect_reply(const ErrorCode &ec);
  void after_tunnel();
  void start_server_tls();
  void upgrade();
  void on_upgraded(const ErrorCode &ec);
  void decorate(beast::websocket::request_type &request) const;
  asio::ssl::context *tls_context();
  bool socks_proxy() const;
  std::pair<std::string, std::string> proxy_credentials() const;

  // Through a SOCKS5 proxy (ws_socks.cpp).
  void start_socks();
  void on_socks_method();
  void send_socks_credentials();
  void send_socks_connect(const std::string &host);
  void on_socks_reply();
  void socks_write(std::function<void()> next);
  void socks_read(size_t count, std::function<void()> next);

  // Open (ws_connection.cpp).
  void opened(const std::string &protocol, const std::string &extensions);
  // The most one received message may hold.
  size_t message_limit() const;
  void read_next();
  void on_read(const ErrorCode &ec);
  void on_written(const ErrorCode &ec);
  void on_close_sent(const ErrorCode &ec);
  void on_stream_error(const ErrorCode &ec);
  void on_control(beast::websocket::frame_type kind);
  // The peer's close frame: 1005 when it carried no code.
  uint16_t received_code() const;
  std::string received_reason() const;
  void closed(bool clean, uint16_t code, const std::string &reason);
  void fail(const WsFailure &failure);
  void shut_down();

  // A completion handler: it keeps the session, and with it this object,
  // alive, and turns an exception (memory running out) into the failure.
  template <typename Fn>
  auto handler(Fn fn) {
    return [self = session_.shared_from_this(), this, fn = std::move(fn)](auto &&...args) mutable {
      try {
        fn(std::forward<decltype(args)>(args)...);
      } catch (...) {
        failed_by_exception();
      }
    };
  }
  void failed_by_exception() noexcept;
  bool via_proxy() const { return proxy_.has_value(); }

  WsSession &session_;
  const std::optional<ProxyTarget> proxy_;
  Stream ws_;
  tcp::resolver resolver_;
  asio::steady_timer deadline_;

  // The tunnel through an HTTP or SOCKS proxy.
  std::string connect_request_;
  std::string socks_buffer_;
  beast::flat_buffer proxy_buffer_;
  std::optional<beast::http::response_parser<beast::http::empty_body>> proxy_reply_;

  beast::websocket::response_type response_;
  std::string cookies_;  // the engine's jar's cookies for the handshake
  beast::flat_buffer incoming_;
  Outgoing outgoing_;  // being sent

  bool open_ = false;
  bool writing_ = false;
  bool peer_closed_ = false;  // the peer's close frame arrived
  bool ended_ = false;
};

}  // namespace hvcore
