// libcurl's side of the engine's TLS: the hook into the contexts it makes
// for each connection, and what a connection's handshake agreed on.
#pragma once

#include <curl/curl.h>

#include "base/settings.h"

namespace hvcore {

// What the context callback of one transfer's connections needs.
struct SslCtxData {
  const EngineSettings *settings = nullptr;  // outlive every transfer
  bool offers_h2 = false;
};

// CURLOPT_SSL_CTX_FUNCTION for every engine that needs one, for the
// connections to servers and to proxies: configures the context as
// client_context.h says, trust apart (libcurl's own, from the options). Its
// pointer argument is the transfer's SslCtxData.
CURLcode engine_ssl_ctx_callback(CURL *, void *ssl_ctx, void *ssl_ctx_data) noexcept;

// True when the engine's requests need that callback.
bool needs_ssl_ctx_callback(const EngineSettings &settings);

// The HTTP version the connection `easy` is on speaks, from the pre-request
// callback on: 3 on QUIC, 2 when the server chose h2 in the ALPN of its TLS
// (its own, inside any proxy's), else 1.
int negotiated_version(CURL *easy, bool https);

}  // namespace hvcore
