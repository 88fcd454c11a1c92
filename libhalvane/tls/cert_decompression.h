// Compressed server certificates (RFC 8879), as browsers offer to take them:
// the decompressors for zlib, brotli and zstd. The Core's own AWS-LC only;
// OpenSSL 3.0's hello cannot offer them.
#pragma once

#include <openssl/ssl.h>

#include <string_view>

namespace hvcore {

#ifdef OPENSSL_IS_AWSLC
// Offers the comma-separated algorithms in their order. False for a name
// that is not one of the three.
bool offer_cert_decompression(SSL_CTX *ctx, std::string_view algorithms);
#endif

}  // namespace hvcore
