// How a WebSocket fails: the Core code, the Chromium net error, the HTTP
// status where one was seen, and a message, worked out from the Asio, OpenSSL
// and Beast errors of each step of the connection.
#pragma once

#include <openssl/ssl.h>

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <string>

#include "base/codes.h"

namespace hvcore {

struct WsFailure {
  Outcome outcome;
  int32_t response_code = 0;
  std::string message;
};

using ErrorCode = boost::system::error_code;

WsFailure canceled_failure();
WsFailure timeout_failure();
WsFailure out_of_memory_failure();

// The name of the server (or of the proxy) could not be resolved.
WsFailure resolve_failure(const ErrorCode &ec, bool proxy);

// No TCP connection to the server (or to the proxy).
WsFailure connect_failure(const ErrorCode &ec, bool proxy);

// The TLS handshake with the server (or the proxy) on `ssl` failed.
WsFailure tls_failure(const ErrorCode &ec, SSL *ssl);

// The proxy did not open the tunnel: `status` is its answer to CONNECT, 0
// when it gave none.
WsFailure tunnel_failure(const ErrorCode &ec, int status);

// The upgrade exchange failed; `status` is the response's, 0 when none came.
WsFailure upgrade_failure(const ErrorCode &ec, int status);

// The upgrade response is well-formed but names what was not asked for.
WsFailure handshake_mismatch(const std::string &what);

// Frames that break the protocol, or a message over the size limit.
// `message_limit`: the most one message may hold, named when one was larger.
WsFailure protocol_failure(const ErrorCode &ec, uint64_t message_limit = 64 * 1024 * 1024);

// Errors of the byte stream itself (socket or TLS), as opposed to Beast's
// own protocol and handshake errors.
bool is_transport_error(const ErrorCode &ec);

}  // namespace hvcore
