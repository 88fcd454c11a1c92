#include "websocket/ws_failure.h"

#include <openssl/err.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>

#include "base/cert_policy.h"
#include "base/error_map.h"

namespace hvcore {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;

bool is_system(const ErrorCode &ec) { return ec.category() == boost::system::system_category(); }

bool is_ssl(const ErrorCode &ec) {
  return ec.category() == asio::error::get_ssl_category() ||
         ec.category() == asio::ssl::error::get_stream_category();
}

bool is_name_error(const ErrorCode &ec) {
  return ec.category() == asio::error::get_netdb_category() ||
         ec.category() == asio::error::get_addrinfo_category();
}

// A connection that ended early, while something was still expected.
WsFailure lost_connection(const ErrorCode &ec) {
  if (is_system(ec))
    return {{kNetwork, net_error_from_errno(ec.value(), net::kConnectionReset)}, 0, ec.message()};
  return {{kNetwork, net::kConnectionClosed}, 0, "Connection closed"};
}

}  // namespace

WsFailure canceled_failure() { return {{kCanceled, net::kAborted}, 0, "Canceled"}; }

WsFailure timeout_failure() {
  return {{kTimeout, net::kTimedOut}, 0, "The opening handshake timed out"};
}

WsFailure out_of_memory_failure() {
  return {{kOutOfMemory, net::kOutOfMemory}, 0, "Out of memory"};
}

WsFailure resolve_failure(const ErrorCode &ec, bool proxy) {
  if (proxy) return {{kProxy, net::kProxyConnectionFailed}, 0, "Proxy name not resolved"};
  if (is_name_error(ec)) return {{kNetwork, net::kNameNotResolved}, 0, ec.message()};
  return {{kNetwork, net::kNameNotResolved}, 0, "Name not resolved: " + ec.message()};
}

WsFailure connect_failure(const ErrorCode &ec, bool proxy) {
  // Through a proxy every connection goes to the proxy.
  if (proxy) return {{kProxy, net::kProxyConnectionFailed}, 0, "Proxy: " + ec.message()};
  const int32_t net_error = is_system(ec) ? net_error_from_errno(ec.value(), net::kConnectionFailed)
                                          : net::kConnectionFailed;
  return {{kNetwork, net_error}, 0, ec.message()};
}

WsFailure tls_failure(const ErrorCode &ec, SSL *ssl) {
  if (ec.category() == asio::error::get_ssl_category()) {
    const auto code = static_cast<unsigned long>(static_cast<unsigned int>(ec.value()));
    if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED && ssl != nullptr) {
      const long verify = SSL_get_verify_result(ssl);
      return {{kTls, certificate_net_error(verify)},
              0,
              std::string("Certificate verify failed: ") + verify_result_text(verify)};
    }
    if (is_version_or_cipher_mismatch(code))
      return {{kTls, net::kSslVersionOrCipherMismatch}, 0, ec.message()};
    return {{kTls, net::kSslProtocolError}, 0, ec.message()};
  }
  if (is_system(ec) && ec != asio::error::operation_aborted) return lost_connection(ec);
  // Closed in the middle of the handshake: no usable TLS peer.
  return {{kTls, net::kSslProtocolError}, 0, ec.message()};
}

WsFailure tunnel_failure(const ErrorCode &ec, int status) {
  if (status == 407)
    return {{kProxy, net::kProxyAuthRequested}, 0, "Proxy authentication required"};
  if (status != 0)
    return {{kProxy, net::kTunnelConnectionFailed},
            0,
            "The proxy refused the tunnel with status " + std::to_string(status)};
  return {
      {kProxy, net::kTunnelConnectionFailed}, 0, "The proxy closed the tunnel: " + ec.message()};
}

WsFailure upgrade_failure(const ErrorCode &ec, int status) {
  if (ec == beast::websocket::error::upgrade_declined)
    return {{kProtocol, net::kInvalidResponse},
            status,
            "Unexpected response code: " + std::to_string(status)};
  if (ec == beast::websocket::condition::handshake_failed)
    return {
        {kProtocol, net::kInvalidResponse}, status, "Invalid upgrade response: " + ec.message()};
  if (ec == beast::http::error::end_of_stream)
    return {
        {kNetwork, net::kEmptyResponse}, 0, "The server closed the connection without a response"};
  if (ec.category() == beast::http::make_error_code(beast::http::error::end_of_stream).category())
    return {{kProtocol, net::kInvalidHttpResponse}, 0, "Invalid HTTP response: " + ec.message()};
  if (is_ssl(ec)) return {{kNetwork, net::kConnectionClosed}, 0, ec.message()};
  return lost_connection(ec);
}

WsFailure handshake_mismatch(const std::string &what) {
  return {{kProtocol, net::kInvalidResponse}, 101, what};
}

WsFailure protocol_failure(const ErrorCode &ec, uint64_t message_limit) {
  if (ec == beast::websocket::error::message_too_big) {
    constexpr uint64_t kMiB = 1024 * 1024;
    const std::string limit = message_limit % kMiB == 0
                                  ? std::to_string(message_limit / kMiB) + " MiB"
                                  : std::to_string(message_limit) + " bytes";
    return {{kProtocol, net::kMsgTooBig}, 0, "A message was larger than " + limit};
  }
  return {{kProtocol, net::kWsProtocolError}, 0, ec.message()};
}

bool is_transport_error(const ErrorCode &ec) {
  return is_system(ec) || is_ssl(ec) || ec.category() == asio::error::get_misc_category() ||
         ec == beast::error::timeout;
}

}  // namespace hvcore
