// A browser's TLS ClientHello as far as OpenSSL can write it, and its
// installation into an OpenSSL client context (libcurl's and the WebSockets').
#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <string>

namespace hvcore {

struct EngineSettings;

struct TlsProfile {
  std::string ciphers;         // TLS 1.2 suites, OpenSSL names, in the browser's order
  std::string tls13_ciphers;   // TLS 1.3 suites, in order
  std::string groups;          // supported groups, in order; OpenSSL names
  std::string sigalgs;         // signature algorithms, in order
  bool status_request = true;  // OCSP stapling asked for, never required
  bool sct = true;             // signed certificate timestamps asked for, never required
  bool session_ticket = true;
  bool padding = false;  // pads a ClientHello of 256 to 511 bytes, as BoringSSL and NSS do
};

// Writes the profile into a client context. Verification and the lowest
// protocol version are left as they are. False when OpenSSL refuses a list.
bool apply_tls_profile(SSL_CTX *ctx, const TlsProfile &profile);

// CURLOPT_SSL_CTX_FUNCTION for every engine that needs one: installs the
// engine's own CA store and its profile's ClientHello. Its pointer argument is
// the engine's EngineSettings, which outlive every transfer.
CURLcode engine_ssl_ctx_callback(CURL *, void *ssl_ctx, void *engine_settings) noexcept;

// True when the engine's requests need that callback.
bool needs_ssl_ctx_callback(const EngineSettings &settings);

}  // namespace hvcore
