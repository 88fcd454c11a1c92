#include "base/cert_policy.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <memory>

namespace hvcore {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};

struct NamesFree {
  void operator()(GENERAL_NAMES *names) const { GENERAL_NAMES_free(names); }
};

bool names_a_host(X509 *leaf) {
  std::unique_ptr<GENERAL_NAMES, NamesFree> names(
      static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return false;
  const auto count = static_cast<size_t>(sk_GENERAL_NAME_num(names.get()));
  for (size_t i = 0; i < count; ++i) {
    const int type = sk_GENERAL_NAME_value(names.get(), i)->type;
    if (type == GEN_DNS || type == GEN_IPADD) return true;
  }
  return false;
}

bool weak_signature(const X509 *cert) {
  int digest = NID_undef;
  if (OBJ_find_sigid_algs(X509_get_signature_nid(cert), &digest, nullptr) != 1) return false;
  return digest == NID_sha1 || digest == NID_md5 || digest == NID_md4;
}

bool weak_key(X509 *cert) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_get_pubkey(cert));
  if (!key) return false;
  const int type = EVP_PKEY_id(key.get());
  const bool factoring = type == EVP_PKEY_RSA || type == EVP_PKEY_DSA
#ifdef EVP_PKEY_RSA_PSS
                         || type == EVP_PKEY_RSA_PSS
#endif
      ;
  return factoring && EVP_PKEY_bits(key.get()) < 1024;
}

int verify_callback(int preverified, X509_STORE_CTX *store) {
  if (!preverified) {
    // A signature that does not verify leaves the crypto library's reason
    // queued ahead of the TLS library's "certificate verify failed", and
    // both libcurl and Asio report the first one: a protocol error then.
    ERR_clear_error();
    return 0;
  }
  // The whole chain is verified once the leaf's turn comes.
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
  const long broken = broken_chain_rule(X509_STORE_CTX_get0_chain(store));
  if (broken == X509_V_OK) return 1;
  X509_STORE_CTX_set_error(store, static_cast<int>(broken));
  return 0;
}

}  // namespace

long broken_chain_rule(STACK_OF(X509) * chain) {
  const size_t count = chain == nullptr ? 0 : static_cast<size_t>(sk_X509_num(chain));
  if (count == 0) return X509_V_ERR_UNSPECIFIED;
  if (!names_a_host(sk_X509_value(chain, 0))) return kVerifyNoSubjectAltName;
  // The trust anchor's own signature vouches for nothing: it is trusted as it
  // is. Its key signs the rest, so it counts.
  for (size_t i = 0; i + 1 < count; ++i)
    if (weak_signature(sk_X509_value(chain, i))) return kVerifyWeakSignature;
  for (size_t i = 0; i < count; ++i)
    if (weak_key(sk_X509_value(chain, i))) return kVerifyWeakKey;
  return X509_V_OK;
}

void install_certificate_policy(SSL_CTX *ctx, bool verify) {
  if (verify)
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &verify_callback);
  else
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
}

const char *verify_result_text(long verify_result) {
  switch (verify_result) {
    case kVerifyNoSubjectAltName:
      return "the certificate names no host in a DNS or IP subject alternative name";
    case kVerifyWeakSignature:
      return "a certificate of the chain is signed over SHA-1 or MD5";
    case kVerifyWeakKey:
      return "a certificate of the chain has an RSA or DSA key under 1024 bits";
    default:
      return X509_verify_cert_error_string(verify_result);
  }
}

}  // namespace hvcore
