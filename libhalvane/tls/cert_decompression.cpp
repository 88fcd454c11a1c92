#include "tls/cert_decompression.h"

#ifdef OPENSSL_IS_AWSLC

#include <brotli/decode.h>
#include <openssl/bytestring.h>
#include <openssl/pool.h>
#include <zlib.h>
#include <zstd.h>

#include <climits>

namespace hvcore {
namespace {

// The handshake refuses a certificate message that announces more than this;
// a browser's limit is the same order of magnitude.
constexpr size_t kMaxCertificateBytes = 1 << 20;

// Each decompresses `in` into a buffer of exactly `size` bytes and fails on
// any other outcome: a short or long result is a broken peer.
bool inflate_zlib(uint8_t *out, size_t size, const uint8_t *in, size_t in_len) {
  if (size > ULONG_MAX || in_len > ULONG_MAX) return false;
  uLongf written = static_cast<uLongf>(size);
  return uncompress(out, &written, in, static_cast<uLong>(in_len)) == Z_OK && written == size;
}

bool inflate_brotli(uint8_t *out, size_t size, const uint8_t *in, size_t in_len) {
  size_t written = size;
  return BrotliDecoderDecompress(in_len, in, &written, out) == BROTLI_DECODER_RESULT_SUCCESS &&
         written == size;
}

bool inflate_zstd(uint8_t *out, size_t size, const uint8_t *in, size_t in_len) {
  size_t written = ZSTD_decompress(out, size, in, in_len);
  return ZSTD_isError(written) == 0 && written == size;
}

using Inflate = bool (*)(uint8_t *, size_t, const uint8_t *, size_t);

template <Inflate inflate>
int decompress(SSL *, CRYPTO_BUFFER **out, size_t size, const uint8_t *in, size_t in_len) {
  if (size == 0 || size > kMaxCertificateBytes) return 0;
  uint8_t *data = nullptr;
  CRYPTO_BUFFER *buffer = CRYPTO_BUFFER_alloc(&data, size);
  if (buffer == nullptr) return 0;
  if (!inflate(data, size, in, in_len)) {
    CRYPTO_BUFFER_free(buffer);
    return 0;
  }
  *out = buffer;
  return 1;
}

}  // namespace

bool offer_cert_decompression(SSL_CTX *ctx, std::string_view algorithms) {
  if (algorithms.empty()) return true;
  for (;;) {
    const size_t end = algorithms.find(',');
    const std::string_view name = algorithms.substr(0, end);
    int ok = 0;
    if (name == "zlib")
      ok = SSL_CTX_add_cert_compression_alg(ctx, 1, nullptr, &decompress<inflate_zlib>);
    else if (name == "brotli")
      ok = SSL_CTX_add_cert_compression_alg(ctx, 2, nullptr, &decompress<inflate_brotli>);
    else if (name == "zstd")
      ok = SSL_CTX_add_cert_compression_alg(ctx, 3, nullptr, &decompress<inflate_zstd>);
    if (ok != 1) return false;
    if (end == std::string_view::npos) return true;
    algorithms.remove_prefix(end + 1);
  }
}

}  // namespace hvcore

#endif
