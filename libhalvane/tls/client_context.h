// An engine's client TLS context, the same for libcurl's connections (to
// servers and proxies) and the WebSockets': the certificate policy
// (cert_policy.h), the trusted certificates, and the profile's ClientHello or
// the Core's own.
#pragma once

#include <openssl/ssl.h>

#include "base/settings.h"

namespace hvcore {

struct ClientContextOptions {
  // The connections of this context offer h2 in ALPN; a profile's browser
  // then adds its h2 application settings.
  bool offers_h2 = false;
  // Trust is set here: the engine's own bundle or the system's store, with a
  // chain ending at any trusted certificate, as libcurl builds chains.
  // libcurl sets its own from the transfer's options, after this.
  bool install_trust = false;
};

// Writes the engine's TLS settings into `ctx`. ALPN and the lowest protocol
// version stay the transport's. False when the TLS library refuses the
// profile's or the default lists.
bool configure_client_context(SSL_CTX *ctx, const EngineSettings &settings,
                              ClientContextOptions options) noexcept;

}  // namespace hvcore
