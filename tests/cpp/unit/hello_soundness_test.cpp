// What a profile only offers stays an offer: the groups listed but never
// negotiated (finite-field), delegated credentials and the record size limit.
// The ClientHello carries them as the browser writes them, and a server that
// takes one up where we cannot follow ends the handshake with an error,
// never with a connection we cannot vouch for. All in memory.
#include <openssl/ssl.h>

#ifdef OPENSSL_IS_AWSLC

#include <gtest/gtest.h>
#include <openssl/bytestring.h>
#include <openssl/ec_key.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj.h>
#include <openssl/x509.h>

#include <map>
#include <memory>
#include <vector>

#include "tls/tls_profile.h"

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
using Buffer = std::unique_ptr<CRYPTO_BUFFER, Deleter<CRYPTO_BUFFER, CRYPTO_BUFFER_free>>;
using Bytes = std::vector<uint8_t>;

// Firefox's offers, on groups AWS-LC can complete and two it cannot.
TlsProfile offering_profile() {
  TlsProfile p;
  p.ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256";
  p.tls13_ciphers = "TLS_AES_128_GCM_SHA256";
  p.groups = "X25519MLKEM768:X25519:P-256:ffdhe2048:ffdhe3072";
  p.sigalgs = "ECDSA+SHA256:rsa_pss_rsae_sha256";
  p.key_shares = 3;
  p.delegated_credentials = "ECDSA+SHA256:ECDSA+SHA384";
  p.record_size_limit = 16385;
  return p;
}

Ssl client_of(SSL_CTX *ctx) {
  Ssl ssl(SSL_new(ctx));
  SSL_set_connect_state(ssl.get());
  SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  return ssl;
}

Bytes drain(SSL *ssl) {
  BIO *out = SSL_get_wbio(ssl);
  Bytes bytes(BIO_pending(out));
  if (!bytes.empty()) BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

// The ClientHello's session id and its extensions' payloads, by type.
struct Hello {
  Bytes session_id;
  std::map<uint16_t, Bytes> extensions;
};

Hello parse_hello(const Bytes &record) {
  Hello hello;
  CBS cbs(record), body, id, suites, compression, extensions;
  uint8_t type;
  uint16_t version;
  CBS_skip(&cbs, 5);  // one record holds it
  if (!CBS_get_u8(&cbs, &type) || !CBS_get_u24_length_prefixed(&cbs, &body) ||
      !CBS_get_u16(&body, &version) || !CBS_skip(&body, 32) ||
      !CBS_get_u8_length_prefixed(&body, &id) || !CBS_get_u16_length_prefixed(&body, &suites) ||
      !CBS_get_u8_length_prefixed(&body, &compression) ||
      !CBS_get_u16_length_prefixed(&body, &extensions))
    return hello;
  hello.session_id.assign(CBS_data(&id), CBS_data(&id) + CBS_len(&id));
  while (CBS_len(&extensions) > 0) {
    uint16_t kind;
    CBS data;
    if (!CBS_get_u16(&extensions, &kind) || !CBS_get_u16_length_prefixed(&extensions, &data)) break;
    hello.extensions[kind].assign(CBS_data(&data), CBS_data(&data) + CBS_len(&data));
  }
  return hello;
}

// The groups of the key_share extension, in order.
std::vector<uint16_t> key_share_groups(const Bytes &payload) {
  std::vector<uint16_t> groups;
  CBS cbs(payload), shares, key;
  uint16_t group;
  CBS_get_u16_length_prefixed(&cbs, &shares);
  while (CBS_get_u16(&shares, &group) && CBS_get_u16_length_prefixed(&shares, &key))
    groups.push_back(group);
  return groups;
}

TEST(HelloSoundness, TheOffersAreWrittenAsTheBrowserWritesThem) {
  Ctx ctx(SSL_CTX_new(TLS_method()));
  ASSERT_TRUE(apply_tls_profile(ctx.get(), offering_profile(), true));
  Ssl client = client_of(ctx.get());
  ASSERT_EQ(SSL_do_handshake(client.get()), -1);
  Hello hello = parse_hello(drain(client.get()));
  EXPECT_EQ(hello.extensions[10],
            (Bytes{0, 10, 0x11, 0xec, 0, 0x1d, 0, 0x17, 0x01, 0x00, 0x01, 0x01}));
  EXPECT_EQ(key_share_groups(hello.extensions[51]), (std::vector<uint16_t>{0x11ec, 0x1d, 0x17}));
  EXPECT_EQ(hello.extensions[34], (Bytes{0, 4, 0x04, 0x03, 0x05, 0x03}));
  EXPECT_EQ(hello.extensions[28], (Bytes{0x40, 0x01}));
  EXPECT_EQ(hello.extensions.count(51764), 0u);
}

// A server's first flight choosing ffdhe2048: a HelloRetryRequest asking for
// its key share, or a ServerHello answering one we never sent.
Bytes server_choosing_ffdhe(const Bytes &session_id, bool retry) {
  static constexpr uint8_t kRetryRandom[32] = {0xcf, 0x21, 0xad, 0x74, 0xe5, 0x9a, 0x61, 0x11,
                                               0xbe, 0x1d, 0x8c, 0x02, 0x1e, 0x65, 0xb8, 0x91,
                                               0xc2, 0xa2, 0x11, 0x16, 0x7a, 0xbb, 0x8c, 0x5e,
                                               0x07, 0x9e, 0x09, 0xe2, 0xc8, 0xa8, 0x33, 0x9c};
  bssl::ScopedCBB cbb;
  CBB record, message, id, extensions, ext, key;
  const Bytes other_random(32, 7), public_value(256, 2);
  bool ok =
      CBB_init(cbb.get(), 512) && CBB_add_u8(cbb.get(), SSL3_RT_HANDSHAKE) &&
      CBB_add_u16(cbb.get(), TLS1_2_VERSION) && CBB_add_u16_length_prefixed(cbb.get(), &record) &&
      CBB_add_u8(&record, SSL3_MT_SERVER_HELLO) && CBB_add_u24_length_prefixed(&record, &message) &&
      CBB_add_u16(&message, TLS1_2_VERSION) &&
      CBB_add_bytes(&message, retry ? kRetryRandom : other_random.data(), 32) &&
      CBB_add_u8_length_prefixed(&message, &id) &&
      CBB_add_bytes(&id, session_id.data(), session_id.size()) && CBB_add_u16(&message, 0x1301) &&
      CBB_add_u8(&message, 0) && CBB_add_u16_length_prefixed(&message, &extensions) &&
      CBB_add_u16(&extensions, TLSEXT_TYPE_supported_versions) &&
      CBB_add_u16_length_prefixed(&extensions, &ext) && CBB_add_u16(&ext, TLS1_3_VERSION) &&
      CBB_add_u16(&extensions, TLSEXT_TYPE_key_share) &&
      CBB_add_u16_length_prefixed(&extensions, &ext) && CBB_add_u16(&ext, 0x0100);
  if (ok && !retry)
    ok = CBB_add_u16_length_prefixed(&ext, &key) &&
         CBB_add_bytes(&key, public_value.data(), public_value.size());
  uint8_t *data = nullptr;
  size_t len = 0;
  if (!ok || !CBB_finish(cbb.get(), &data, &len)) return {};
  Bytes out(data, data + len);
  OPENSSL_free(data);
  return out;
}

TEST(HelloSoundness, AServerChoosingAListedOnlyGroupFailsTheHandshake) {
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry ? "HelloRetryRequest" : "ServerHello");
    Ctx ctx(SSL_CTX_new(TLS_method()));
    ASSERT_TRUE(apply_tls_profile(ctx.get(), offering_profile(), true));
    Ssl client = client_of(ctx.get());
    ASSERT_EQ(SSL_do_handshake(client.get()), -1);
    const Bytes reply = server_choosing_ffdhe(parse_hello(drain(client.get())).session_id, retry);
    ASSERT_FALSE(reply.empty());
    BIO_write(SSL_get_rbio(client.get()), reply.data(), static_cast<int>(reply.size()));
    ERR_clear_error();
    const int rc = SSL_do_handshake(client.get());
    ASSERT_EQ(SSL_get_error(client.get(), rc), SSL_ERROR_SSL);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), SSL_R_WRONG_CURVE);
    // The client's last record: a fatal illegal_parameter alert.
    const Bytes sent = drain(client.get());
    ASSERT_GE(sent.size(), 7u);
    EXPECT_EQ(Bytes(sent.end() - 7, sent.end()),
              (Bytes{SSL3_RT_ALERT, 3, 3, 0, 2, SSL3_AL_FATAL, SSL_AD_ILLEGAL_PARAMETER}));
  }
}

// ---- against an AWS-LC server ------------------------------------------------

// A self-signed P-256 certificate and key, made here.
Key make_identity(SSL_CTX *ctx) {
  Key key(EVP_PKEY_new());
  EC_KEY *ec = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  Cert cert(X509_new());
  if (ec == nullptr || !EC_KEY_generate_key(ec) || !EVP_PKEY_assign_EC_KEY(key.get(), ec))
    return nullptr;
  X509_NAME *name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const uint8_t *>("localhost"), -1, -1, 0);
  const bool ok =
      X509_set_version(cert.get(), 2) && X509_set_issuer_name(cert.get(), name) &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600) &&
      X509_set_pubkey(cert.get(), key.get()) && X509_sign(cert.get(), key.get(), EVP_sha256()) &&
      SSL_CTX_use_certificate(ctx, cert.get()) && SSL_CTX_use_PrivateKey(ctx, key.get());
  return ok ? std::move(key) : nullptr;
}

// A delegated credential for a fresh P-256 key (RFC 9345); its signature is
// not one, which only a client that verified it would notice.
bool attach_delegated_credential(SSL *server) {
  Key key(EVP_PKEY_new());
  EC_KEY *ec = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  if (ec == nullptr || !EC_KEY_generate_key(ec) || !EVP_PKEY_assign_EC_KEY(key.get(), ec))
    return false;
  bssl::ScopedCBB cbb;
  CBB spki, signature;
  uint8_t *data = nullptr;
  size_t len = 0;
  const bool ok = CBB_init(cbb.get(), 256) && CBB_add_u32(cbb.get(), 3600) &&
                  CBB_add_u16(cbb.get(), SSL_SIGN_ECDSA_SECP256R1_SHA256) &&
                  CBB_add_u24_length_prefixed(cbb.get(), &spki) &&
                  EVP_marshal_public_key(&spki, key.get()) &&
                  CBB_add_u16(cbb.get(), SSL_SIGN_ECDSA_SECP256R1_SHA256) &&
                  CBB_add_u16_length_prefixed(cbb.get(), &signature) && CBB_add_u8(&signature, 0) &&
                  CBB_finish(cbb.get(), &data, &len);
  if (!ok) return false;
  Buffer raw(CRYPTO_BUFFER_new(data, len, nullptr));
  OPENSSL_free(data);
  return SSL_set1_delegated_credential(server, raw.get(), key.get(), nullptr) == 1;
}

// Runs the handshake over a memory pair; true when both ends finished it.
bool handshake(SSL *client, SSL *server) {
  BIO *client_bio = nullptr, *server_bio = nullptr;
  if (!BIO_new_bio_pair(&client_bio, 0, &server_bio, 0)) return false;
  SSL_set_bio(client, client_bio, client_bio);
  SSL_set_bio(server, server_bio, server_bio);
  bool client_done = false, server_done = false;
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

// The server's record_size_limit, sent back in its encrypted extensions.
uint16_t g_server_limit = 0;
int add_server_limit(SSL *, unsigned, const uint8_t **out, size_t *out_len, int *, void *) {
  static uint8_t bytes[2];
  bytes[0] = static_cast<uint8_t>(g_server_limit >> 8);
  bytes[1] = static_cast<uint8_t>(g_server_limit & 0xff);
  *out = bytes;
  *out_len = 2;
  return g_server_limit != 0 ? 1 : 0;
}
int accept_client_limit(SSL *, unsigned, const uint8_t *, size_t, int *, void *) { return 1; }

struct ServerCase {
  const char *what;
  bool delegated_credential;
  uint16_t record_size_limit;
  bool completes;
  int first_read;  // of 4000 bytes the client writes: the largest record's size
};

TEST(HelloSoundness, WhatTheServerTakesUpIsHonouredOrRefused) {
  const ServerCase cases[] = {
      {"plain", false, 0, true, 4000},
      {"a delegated credential", true, 0, false, 0},
      {"the largest record limit", false, 16385, true, 4000},
      {"a small record limit", false, 1025, true, 1024},
      {"a limit below what we can keep to", false, 300, false, 0},
  };
  for (const ServerCase &c : cases) {
    SCOPED_TRACE(c.what);
    Ctx server_ctx(SSL_CTX_new(TLS_method())), client_ctx(SSL_CTX_new(TLS_method()));
    ASSERT_TRUE(make_identity(server_ctx.get()));
    SSL_CTX_set_min_proto_version(server_ctx.get(), TLS1_3_VERSION);
    ASSERT_TRUE(SSL_CTX_add_server_custom_ext(server_ctx.get(), 28, &add_server_limit, nullptr,
                                              nullptr, &accept_client_limit, nullptr));
    ASSERT_TRUE(apply_tls_profile(client_ctx.get(), offering_profile(), true));
    g_server_limit = c.record_size_limit;
    Ssl client(SSL_new(client_ctx.get())), server(SSL_new(server_ctx.get()));
    SSL_set_connect_state(client.get());
    SSL_set_accept_state(server.get());
    if (c.delegated_credential) ASSERT_TRUE(attach_delegated_credential(server.get()));
    EXPECT_EQ(handshake(client.get(), server.get()), c.completes);
    if (c.delegated_credential) {
      EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), SSL_R_UNEXPECTED_EXTENSION);
      EXPECT_FALSE(SSL_delegated_credential_used(client.get()));
    }
    if (!c.completes) continue;
    // One read returns at most one record.
    const Bytes data(4000, 'x');
    Bytes got(4000);
    ASSERT_EQ(SSL_write(client.get(), data.data(), 4000), 4000);
    EXPECT_EQ(SSL_read(server.get(), got.data(), 4000), c.first_read);
  }
}

}  // namespace
}  // namespace hvcore

#endif  // OPENSSL_IS_AWSLC
