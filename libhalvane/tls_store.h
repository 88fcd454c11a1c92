// The trust store of an engine that verifies against its own PEM bundle, and
// its installation into an OpenSSL context (libcurl's through
// engine_ssl_ctx_callback in tls_profile.h).
#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string_view>

namespace hvcore {

class CaStore {
 public:
  // Parses every certificate of a PEM bundle. An empty bundle gives an empty
  // store (nothing is trusted); a non-empty one without a single certificate
  // gives nothing.
  static std::shared_ptr<const CaStore> from_pem(std::string_view pem);

  ~CaStore();
  CaStore(const CaStore &) = delete;
  CaStore &operator=(const CaStore &) = delete;

  // Replaces the context's store with this one, so that only these
  // certificates are trusted.
  void install(SSL_CTX *ctx) const;

 private:
  explicit CaStore(X509_STORE *store) : store_(store) {}
  X509_STORE *store_;
};

}  // namespace hvcore
