// A server's compressed certificate, as browsers let servers send one: whole
// handshakes in memory between an AWS-LC server that compresses and a
// client with the Core's decompressors, honest and lying servers alike.
#include <openssl/ssl.h>

#ifdef OPENSSL_IS_AWSLC

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <openssl/bytestring.h>
#include <openssl/ec_key.h>
#include <openssl/evp.h>
#include <openssl/obj.h>
#include <openssl/x509.h>
#include <zlib.h>
#include <zstd.h>

#include <memory>
#include <vector>

#include "tls/cert_decompression.h"

namespace hvcore {
namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using Ctx = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

// How the server compresses: honestly, or with a lie about the result.
enum class Server { Honest, Garbage, ShortOutput };
Server g_server = Server::Honest;
int g_compressions = 0;

std::vector<uint8_t> compress_with(uint16_t alg, const uint8_t *in, size_t len) {
  std::vector<uint8_t> out(len * 2 + 1024);
  size_t size = out.size();
  if (alg == 1) {
    uLongf z = static_cast<uLongf>(size);
    if (compress2(out.data(), &z, in, static_cast<uLong>(len), 9) != Z_OK) return {};
    size = z;
  } else if (alg == 2) {
    if (!BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, len, in, &size,
                               out.data()))
      return {};
  } else {
    size = ZSTD_compress(out.data(), size, in, len, 3);
    if (ZSTD_isError(size)) return {};
  }
  out.resize(size);
  return out;
}

template <uint16_t Alg>
int compress(SSL *, CBB *out, const uint8_t *in, size_t len) {
  ++g_compressions;
  std::vector<uint8_t> data = compress_with(Alg, in, len);
  if (g_server == Server::Garbage)
    for (uint8_t &b : data) b ^= 0x5a;
  if (g_server == Server::ShortOutput) {
    // Compresses less than it announces: the decompressed size falls short.
    data = compress_with(Alg, in, len / 2);
  }
  return !data.empty() && CBB_add_bytes(out, data.data(), data.size());
}

struct Pair {
  Ctx server_ctx{SSL_CTX_new(TLS_method())}, client_ctx{SSL_CTX_new(TLS_method())};
  Cert cert{X509_new()};
};

// A self-signed P-256 certificate, made here.
bool make_identity(SSL_CTX *ctx, X509 *cert) {
  EC_KEY *ec = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  Key key(EVP_PKEY_new());
  if (ec == nullptr || !EC_KEY_generate_key(ec) || !EVP_PKEY_assign_EC_KEY(key.get(), ec))
    return false;
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const uint8_t *>("localhost"), -1, -1, 0);
  return X509_set_version(cert, 2) && X509_set_issuer_name(cert, name) &&
         X509_gmtime_adj(X509_getm_notBefore(cert), 0) &&
         X509_gmtime_adj(X509_getm_notAfter(cert), 3600) && X509_set_pubkey(cert, key.get()) &&
         X509_sign(cert, key.get(), EVP_sha256()) && SSL_CTX_use_certificate(ctx, cert) &&
         SSL_CTX_use_PrivateKey(ctx, key.get());
}

// Runs the handshake over a memory pair; true when both ends finished it.
bool handshake(SSL *client, SSL *server) {
  BIO *client_bio = nullptr, *server_bio = nullptr;
  if (!BIO_new_bio_pair(&client_bio, 0, &server_bio, 0)) return false;
  SSL_set_bio(client, client_bio, client_bio);
  SSL_set_bio(server, server_bio, server_bio);
  bool client_done = false, server_done = false;
  // One step of one side: false on any failure other than waiting for data.
  auto step = [](SSL *ssl, bool &done) {
    if (done) return true;
    const int rc = SSL_do_handshake(ssl);
    done = rc == 1;
    return done || SSL_get_error(ssl, rc) == SSL_ERROR_WANT_READ;
  };
  for (int round = 0; round < 50 && !(client_done && server_done); ++round)
    if (!step(client, client_done) || !step(server, server_done)) return false;
  return client_done && server_done;
}

struct Case {
  const char *offered;
  uint16_t server_alg;
  Server server;
  bool completes;
};

TEST(CertDecompression, EachAlgorithmAndEveryLie) {
  const Case cases[] = {
      {"zlib", 1, Server::Honest, true},         {"brotli", 2, Server::Honest, true},
      {"zstd", 3, Server::Honest, true},         {"zlib,brotli,zstd", 3, Server::Honest, true},
      {"zlib", 1, Server::Garbage, false},       {"brotli", 2, Server::Garbage, false},
      {"zstd", 3, Server::Garbage, false},       {"zlib", 1, Server::ShortOutput, false},
      {"brotli", 2, Server::ShortOutput, false}, {"zstd", 3, Server::ShortOutput, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.offered) + " from server alg " + std::to_string(c.server_alg) +
                 " kind " + std::to_string(static_cast<int>(c.server)));
    Pair pair;
    ASSERT_TRUE(make_identity(pair.server_ctx.get(), pair.cert.get()));
    SSL_CTX_set_min_proto_version(pair.server_ctx.get(), TLS1_3_VERSION);
    auto compressor = c.server_alg == 1   ? &compress<1>
                      : c.server_alg == 2 ? &compress<2>
                                          : &compress<3>;
    ASSERT_TRUE(
        SSL_CTX_add_cert_compression_alg(pair.server_ctx.get(), c.server_alg, compressor, nullptr));
    ASSERT_TRUE(offer_cert_decompression(pair.client_ctx.get(), c.offered));
    g_server = c.server;
    g_compressions = 0;

    Ssl client(SSL_new(pair.client_ctx.get())), server(SSL_new(pair.server_ctx.get()));
    SSL_set_connect_state(client.get());
    SSL_set_accept_state(server.get());
    EXPECT_EQ(handshake(client.get(), server.get()), c.completes);
    EXPECT_EQ(g_compressions, 1);  // the certificate really went compressed
    if (c.completes) {
      Cert seen(SSL_get_peer_certificate(client.get()));
      ASSERT_TRUE(seen);
      EXPECT_EQ(X509_cmp(seen.get(), pair.cert.get()), 0);
    }
  }
}

TEST(CertDecompression, UnknownAlgorithmNamesAreRefused) {
  for (const char *offered : {"lzma", "zlib,gzip", "zlib,", "Brotli"}) {
    SCOPED_TRACE(offered);
    Ctx ctx(SSL_CTX_new(TLS_method()));
    EXPECT_FALSE(offer_cert_decompression(ctx.get(), offered));
  }
}

}  // namespace
}  // namespace hvcore

#endif
