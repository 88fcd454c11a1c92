#include "tls/tls_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

namespace hvcore {
namespace {

struct BioFree {
  void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

}  // namespace

std::shared_ptr<const CaStore> CaStore::from_pem(std::string_view pem) {
  X509_STORE *store = X509_STORE_new();
  if (store == nullptr) return nullptr;
  std::shared_ptr<CaStore> result(new CaStore(store));
  if (pem.empty()) return result;
  if (pem.size() > static_cast<size_t>(INT_MAX)) return nullptr;

  BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!in || !out) return nullptr;
  int added = 0;
  bool written = true;
  while (X509 *cert = PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_cert(store, cert) == 1) {
      ++added;
      written = written && PEM_write_bio_X509(out.get(), cert) == 1;
    }
    X509_free(cert);
  }
  // The loop ends on the first block that is not a certificate, which leaves
  // an error on this thread's queue; it must not leak into libcurl's reports.
  ERR_clear_error();
  if (added == 0 || !written) return nullptr;
  char *data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  if (size <= 0 || data == nullptr) return nullptr;
  result->pem_.assign(data, static_cast<size_t>(size));
  return result;
}

CaStore::~CaStore() { X509_STORE_free(store_); }

void CaStore::install(SSL_CTX *ctx) const {
  X509_STORE_up_ref(store_);
  SSL_CTX_set_cert_store(ctx, store_);  // takes the reference just made
}

}  // namespace hvcore
