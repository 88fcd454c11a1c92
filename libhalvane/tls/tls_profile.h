// A browser's TLS ClientHello, and its installation into a client context
// (libcurl's and the WebSockets'). The Core normally runs on its own
// BoringSSL, which writes all of it; built on the system's OpenSSL, the parts
// marked below are left out.
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
  bool padding = false;  // pads a ClientHello of 256 to 511 bytes to 512, as the browser does
  // BoringSSL only:
  bool grease = false;              // GREASE values in suites, groups, extensions and versions
  bool permute_extensions = false;  // a new extension order for every connection
  bool alps = false;                // application settings offered for h2
  bool ech_grease = false;          // an encrypted-client-hello GREASE extension
  std::string cert_compression;     // offered algorithms in order: "zlib", "brotli", "zstd"
};

// Writes the profile into a client context. Verification and the lowest
// protocol version are left as they are. `offers_h2`: the connections of this
// context offer h2 in ALPN (the browsers add h2 settings then). False when
// the TLS library refuses a list.
bool apply_tls_profile(SSL_CTX *ctx, const TlsProfile &profile, bool offers_h2) noexcept;

// The TLS settings of a connection without a profile: on BoringSSL, no 3DES
// suites and no SHA-1 handshake signatures. False when the library refuses.
bool apply_tls_defaults(SSL_CTX *ctx);

// What the context callback of one transfer's connections needs.
struct SslCtxData {
  const EngineSettings *settings = nullptr;  // outlive every transfer
  bool offers_h2 = false;
};

// CURLOPT_SSL_CTX_FUNCTION for every engine that needs one, for the
// connections to servers and to proxies: installs the certificate policy
// (cert_policy.h) and the profile's ClientHello. Its pointer argument is the
// transfer's SslCtxData.
CURLcode engine_ssl_ctx_callback(CURL *, void *ssl_ctx, void *ssl_ctx_data) noexcept;

// True when the engine's requests need that callback.
bool needs_ssl_ctx_callback(const EngineSettings &settings);

}  // namespace hvcore
