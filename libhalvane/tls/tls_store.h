// The trust store of an engine that verifies against its own PEM bundle: the
// parsed store, installed into the WebSockets' context, and the same
// certificates as PEM for libcurl, which parses them for each connection and
// keys its TLS sessions on them, so that a session is resumed only under the
// trust that verified it.
#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
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

  // The certificates of the store as PEM; empty for an empty store.
  const std::string &pem() const { return pem_; }

 private:
  explicit CaStore(X509_STORE *store) : store_(store) {}
  X509_STORE *store_;
  std::string pem_;
};

}  // namespace hvcore
