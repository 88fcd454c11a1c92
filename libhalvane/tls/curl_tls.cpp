#include "tls/curl_tls.h"

#include <openssl/ssl.h>

#include "tls/client_context.h"

namespace hvcore {

bool needs_ssl_ctx_callback(const EngineSettings &s) {
#ifdef OPENSSL_IS_AWSLC
  (void)s;
  return true;  // the Core's own defaults (tls_profile.h)
#else
  return s.tls != TlsVerification::Disabled || s.profile != nullptr;
#endif
}

CURLcode engine_ssl_ctx_callback(CURL *, void *ssl_ctx, void *ssl_ctx_data) noexcept {
  const auto &data = *static_cast<const SslCtxData *>(ssl_ctx_data);
  return configure_client_context(static_cast<SSL_CTX *>(ssl_ctx), *data.settings,
                                  {.offers_h2 = data.offers_h2, .install_trust = false})
             ? CURLE_OK
             : CURLE_SSL_CIPHER;
}

int negotiated_version(CURL *easy, bool https) {
  // The topmost TLS of the connection: the server's, also inside a tunnel
  // through an https proxy.
  curl_tlssessioninfo *info = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
      info->backend != CURLSSLBACKEND_OPENSSL)
    return 1;
  // libcurl shows the TLS of TCP connections only: an https connection
  // without one is a QUIC connection, whose TLS lives inside QUIC.
  if (info->internals == nullptr) return https ? 3 : 1;
  const unsigned char *protocol = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(static_cast<const SSL *>(info->internals), &protocol, &length);
  return length == 2 && protocol[0] == 'h' && protocol[1] == '2' ? 2 : 1;
}

}  // namespace hvcore
