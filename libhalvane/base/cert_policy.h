// What a certificate chain must show beyond what the TLS library checks, as
// browsers ask it, for requests (libcurl's contexts, proxies' included) and
// WebSockets alike: the leaf names its host in a DNS or IP subject
// alternative name (the common name is never read), no certificate is signed
// over SHA-1 or MD5, and no RSA or DSA key is shorter than 1024 bits.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace hvcore {

// Verification results of these rules, beside the TLS library's X509_V_ERR_
// codes (all below 100 in both libraries); libcurl reports them as
// CURLINFO_SSL_VERIFYRESULT like any other.
inline constexpr long kVerifyNoSubjectAltName = 1001;
inline constexpr long kVerifyWeakSignature = 1002;
inline constexpr long kVerifyWeakKey = 1003;

// X509_V_OK, or the first rule the verified chain breaks (leaf first).
long broken_chain_rule(STACK_OF(X509) * chain);

// Makes `ctx` verify its peers with these rules on top of the library's own,
// or, without `verify`, verify nothing.
void install_certificate_policy(SSL_CTX *ctx, bool verify);

// Text for a verification result: the rules' own, or the library's.
const char *verify_result_text(long verify_result);

}  // namespace hvcore
