#include "tls_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

namespace hvcore {

std::shared_ptr<const CaStore> CaStore::from_pem(std::string_view pem) {
  X509_STORE *store = X509_STORE_new();
  if (store == nullptr) return nullptr;
  std::shared_ptr<const CaStore> result(new CaStore(store));
  if (pem.empty()) return result;
  if (pem.size() > static_cast<size_t>(INT_MAX)) return nullptr;

  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return nullptr;
  int added = 0;
  while (X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_cert(store, cert) == 1) ++added;
    X509_free(cert);
  }
  BIO_free(bio);
  // The loop ends on the first block that is not a certificate, which leaves
  // an error on this thread's queue; it must not leak into libcurl's reports.
  ERR_clear_error();
  if (added == 0) return nullptr;
  return result;
}

CaStore::~CaStore() { X509_STORE_free(store_); }

void CaStore::install(SSL_CTX *ctx) const {
  X509_STORE_up_ref(store_);
  SSL_CTX_set_cert_store(ctx, store_);  // takes the reference just made
}

}  // namespace hvcore
