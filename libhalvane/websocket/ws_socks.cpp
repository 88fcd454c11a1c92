// A WebSocket through a SOCKS5 proxy (RFC 1928), with user name and password
// (RFC 1929) when the engine has them. socks5 resolves the server's name
// here; socks5h leaves that to the proxy.
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "websocket/ws_connection.h"

namespace hvcore {
namespace {

constexpr char kVersion = 5;
constexpr char kNoAuthentication = 0, kUserPassword = 2;
constexpr char kConnect = 1;
constexpr char kIpv4 = 1, kDomain = 3, kIpv6 = 4;

WsFailure socks_failure(const std::string &what) {
  return {{kProxy, net::kProxyConnectionFailed}, 0, "SOCKS proxy: " + what};
}

std::string reply_text(unsigned char code) {
  switch (code) {
    case 1:
      return "general failure";
    case 2:
      return "connection not allowed";
    case 3:
      return "network unreachable";
    case 4:
      return "host unreachable";
    case 5:
      return "connection refused";
    case 6:
      return "TTL expired";
    default:
      return "error " + std::to_string(code);
  }
}

}  // namespace

void WsConnection::socks_write(std::function<void()> next) {
  asio::async_write(ws_.next_layer().hop(), asio::buffer(socks_buffer_),
                    handler([this, next = std::move(next)](const ErrorCode &ec, size_t) {
                      if (ended_) return;
                      if (ec) return fail(socks_failure(ec.message()));
                      next();
                    }));
}

void WsConnection::socks_read(size_t count, std::function<void()> next) {
  socks_buffer_.assign(count, '\0');
  asio::async_read(ws_.next_layer().hop(), asio::buffer(socks_buffer_),
                   handler([this, next = std::move(next)](const ErrorCode &ec, size_t) {
                     if (ended_) return;
                     if (ec) return fail(socks_failure("closed during the handshake"));
                     next();
                   }));
}

void WsConnection::start_socks() {
  const auto [user, password] = proxy_credentials();
  const bool credentials = !user.empty() || !password.empty();
  socks_buffer_ = {kVersion, static_cast<char>(credentials ? 2 : 1), kNoAuthentication};
  if (credentials) socks_buffer_ += kUserPassword;
  socks_write([this] { socks_read(2, [this] { on_socks_method(); }); });
}

void WsConnection::on_socks_method() {
  if (socks_buffer_[0] != kVersion) return fail(socks_failure("not a SOCKS5 proxy"));
  if (socks_buffer_[1] == kUserPassword) return send_socks_credentials();
  if (socks_buffer_[1] != kNoAuthentication)
    return fail(socks_failure("no acceptable authentication method"));
  send_socks_connect(session_.settings().target.host);
}

void WsConnection::send_socks_credentials() {
  const auto [user, password] = proxy_credentials();
  if (user.size() > 255 || password.size() > 255)
    return fail(socks_failure("user name or password too long"));
  socks_buffer_ = {1, static_cast<char>(user.size())};
  socks_buffer_ += user;
  socks_buffer_ += static_cast<char>(password.size());
  socks_buffer_ += password;
  socks_write([this] {
    socks_read(2, [this] {
      if (socks_buffer_[1] != 0) return fail(socks_failure("authentication failed"));
      send_socks_connect(session_.settings().target.host);
    });
  });
}

void WsConnection::send_socks_connect(const std::string &host) {
  const WebSocketTarget &target = session_.settings().target;
  ErrorCode not_address;
  const asio::ip::address address = asio::ip::make_address(host, not_address);
  if (not_address && proxy_->scheme == "socks5") {
    // The proxy gets an address: the name is resolved here.
    resolver_.async_resolve(
        host, std::to_string(target.port), tcp::resolver::numeric_service,
        handler([this](const ErrorCode &ec, const tcp::resolver::results_type &results) {
          if (ended_) return;
          if (ec || results.empty()) return fail(resolve_failure(ec, false));
          // An IPv4 address where there is one: the one most proxies reach.
          asio::ip::address chosen = results.begin()->endpoint().address();
          for (const auto &entry : results)
            if (entry.endpoint().address().is_v4()) {
              chosen = entry.endpoint().address();
              break;
            }
          send_socks_connect(chosen.to_string());
        }));
    return;
  }
  socks_buffer_ = {kVersion, kConnect, 0};
  if (not_address) {
    if (host.size() > 255) return fail(socks_failure("host name too long"));
    socks_buffer_ += kDomain;
    socks_buffer_ += static_cast<char>(host.size());
    socks_buffer_ += host;
  } else if (address.is_v4()) {
    socks_buffer_ += kIpv4;
    const auto bytes = address.to_v4().to_bytes();
    socks_buffer_.append(bytes.begin(), bytes.end());
  } else {
    socks_buffer_ += kIpv6;
    const auto bytes = address.to_v6().to_bytes();
    socks_buffer_.append(bytes.begin(), bytes.end());
  }
  socks_buffer_ += static_cast<char>(target.port >> 8);
  socks_buffer_ += static_cast<char>(target.port & 0xff);
  socks_write([this] { socks_read(4, [this] { on_socks_reply(); }); });
}

void WsConnection::on_socks_reply() {
  if (socks_buffer_[0] != kVersion) return fail(socks_failure("not a SOCKS5 proxy"));
  const auto code = static_cast<unsigned char>(socks_buffer_[1]);
  if (code != 0) return fail(socks_failure(reply_text(code)));
  // The bound address that follows is of no use here; it is read and dropped.
  switch (socks_buffer_[3]) {
    case kIpv4:
      return socks_read(4 + 2, [this] { after_tunnel(); });
    case kIpv6:
      return socks_read(16 + 2, [this] { after_tunnel(); });
    case kDomain:
      return socks_read(1, [this] {
        socks_read(static_cast<unsigned char>(socks_buffer_[0]) + 2u, [this] { after_tunnel(); });
      });
    default:
      return fail(socks_failure("malformed reply"));
  }
}

}  // namespace hvcore
