// TLS for WebSockets and their proxies: the engine's client context (its
// verification settings and CA bundle, as for requests) and the per-connection
// name checks.
#pragma once

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

#include "base/settings.h"

namespace hvcore {

// A client context that offers TLS 1.2 and later and verifies peers as the
// engine's settings say, under the certificate policy of requests
// (cert_policy.h); null when OpenSSL cannot make one.
std::unique_ptr<boost::asio::ssl::context> make_tls_client_context(const EngineSettings &settings);

// Sets the server name sent (SNI, not for addresses) and the name or address
// the certificate must carry in a subject alternative name, the host as
// requests send them. False when OpenSSL refuses them.
bool prepare_tls_connection(SSL *ssl, const std::string &host);

}  // namespace hvcore
