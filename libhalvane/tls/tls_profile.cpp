#include "tls/tls_profile.h"

#include <openssl/err.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "tls/cert_decompression.h"

#ifndef OPENSSL_IS_AWSLC
#include <openssl/ct.h>
#endif

namespace hvcore {
namespace {

// Calls `fn` with each name of a colon-separated list.
template <typename Fn>
void for_each_name(std::string_view list, Fn &&fn) {
  while (!list.empty()) {
    const size_t end = list.find(':');
    fn(list.substr(0, end));
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
  }
}

// The names of a colon-separated list that `keep` accepts, joined again.
template <typename Keep>
std::string kept_names(std::string_view list, Keep &&keep) {
  std::string kept;
  for_each_name(list, [&](std::string_view name) {
    if (!keep(name)) return;
    if (!kept.empty()) kept += ':';
    kept += name;
  });
  return kept;
}

#ifdef OPENSSL_IS_AWSLC

// Application settings and the encrypted-client-hello GREASE are set per
// connection; libcurl hands out only the context, so they are added when each
// connection's handshake starts, before its hello is written.
template <bool Alps, bool NewCodepoint, bool EchGrease>
void on_handshake_start(const SSL *const_ssl, int where, int) {
  if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
  auto *ssl = const_cast<SSL *>(const_ssl);
  if constexpr (EchGrease) SSL_set_enable_ech_grease(ssl, 1);
  if constexpr (Alps) {
    SSL_set_alps_use_new_codepoint(ssl, NewCodepoint ? 1 : 0);
    // Offered for h2 only when h2 is offered at all; the value is empty,
    // as the browser's is until the server answers with its own.
    static constexpr uint8_t kH2[] = {'h', '2'};
    SSL_add_application_settings(ssl, kH2, sizeof kH2, nullptr, 0);
    ERR_clear_error();
  }
}

using InfoCallback = void (*)(const SSL *, int, int);

InfoCallback handshake_start_hook(const TlsProfile &p, bool offers_h2) {
  if (p.alps && offers_h2 && p.alps_new_codepoint)
    return p.ech_grease ? &on_handshake_start<true, true, true>
                        : &on_handshake_start<true, true, false>;
  if (p.alps && offers_h2)
    return p.ech_grease ? &on_handshake_start<true, false, true>
                        : &on_handshake_start<true, false, false>;
  return p.ech_grease ? &on_handshake_start<false, false, true> : nullptr;
}

bool is_finite_field(std::string_view name) { return name.starts_with("ffdhe"); }

// AWS-LC negotiates no finite-field group: the browsers that list them after
// their elliptic curves get them listed only (aws-lc-hello-groups.patch), and a
// server that picks one fails the handshake.
std::string known_groups(std::string_view groups) {
  return kept_names(groups, [](std::string_view name) { return !is_finite_field(name); });
}

using NamedCode = std::pair<std::string_view, uint16_t>;

constexpr NamedCode kFiniteFieldCodes[] = {{"ffdhe2048", 0x0100},
                                           {"ffdhe3072", 0x0101},
                                           {"ffdhe4096", 0x0102},
                                           {"ffdhe6144", 0x0103},
                                           {"ffdhe8192", 0x0104}};

// The code points of a list's names, in order and repeated where the list
// repeats one; empty when a name is not in `table`.
template <size_t N>
std::vector<uint16_t> codes_of(std::string_view list, const NamedCode (&table)[N]) {
  std::vector<uint16_t> codes;
  bool known = true;
  for_each_name(list, [&](std::string_view name) {
    const auto *it = std::find_if(std::begin(table), std::end(table),
                                  [&](const NamedCode &entry) { return entry.first == name; });
    if (it == std::end(table))
      known = false;
    else
      codes.push_back(it->second);
  });
  if (!known) codes.clear();
  return codes;
}

// Signature algorithms by the names the profiles use.
constexpr NamedCode kSigalgCodes[] = {{"RSA+SHA1", 0x0201},
                                      {"ECDSA+SHA1", 0x0203},
                                      {"RSA+SHA256", 0x0401},
                                      {"ECDSA+SHA256", 0x0403},
                                      {"RSA+SHA384", 0x0501},
                                      {"ECDSA+SHA384", 0x0503},
                                      {"RSA+SHA512", 0x0601},
                                      {"ECDSA+SHA512", 0x0603},
                                      {"rsa_pss_rsae_sha256", 0x0804},
                                      {"rsa_pss_rsae_sha384", 0x0805},
                                      {"rsa_pss_rsae_sha512", 0x0806},
                                      {"mldsa44", 0x0904},
                                      {"mldsa65", 0x0905},
                                      {"mldsa87", 0x0906}};

// Payloads of extensions the library writes from our bytes. The context owns
// them (its ex_data), so they live as long as the callbacks that send them.
struct HelloExtras {
  std::string record_size_limit;  // two bytes, big-endian
  std::string trust_anchors;
};

void free_extras(void *, void *extras, CRYPTO_EX_DATA *, int, long, void *) {
  delete static_cast<HelloExtras *>(extras);
}

int extras_index() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, &free_extras);
  return index;
}

template <std::string HelloExtras::*Payload>
int add_extra(SSL *, unsigned, const uint8_t **out, size_t *out_len, int *, void *arg) {
  const std::string &payload = static_cast<const HelloExtras *>(arg)->*Payload;
  if (payload.empty()) return 0;  // this profile does not send it
  *out = reinterpret_cast<const uint8_t *>(payload.data());
  *out_len = payload.size();
  return 1;
}

// The server's limit (RFC 8449) binds the records we send. One below what the
// library can keep to cannot be honoured: the handshake fails rather than
// sending records the server would refuse.
int parse_record_size_limit(SSL *ssl, unsigned, const uint8_t *in, size_t len, int *alert, void *) {
  if (len != 2) {
    *alert = SSL_AD_DECODE_ERROR;
    return 0;
  }
  const size_t limit = size_t{in[0]} << 8 | in[1];
  // TLS 1.3 counts the content type byte inside the limit.
  const size_t plaintext = SSL_version(ssl) >= TLS1_3_VERSION ? limit - 1 : limit;
  if (limit < 64 || plaintext < 512) {
    *alert = limit < 64 ? SSL_AD_ILLEGAL_PARAMETER : SSL_AD_HANDSHAKE_FAILURE;
    return 0;
  }
  SSL_set_max_send_fragment(ssl, plaintext);
  return 1;
}

// A server's own trust anchor list only helps a client that could retry with
// another certificate chain; ours has one, so the list is read and left.
int parse_trust_anchors(SSL *, unsigned, const uint8_t *, size_t, int *, void *) { return 1; }

constexpr unsigned kRecordSizeLimit = 28;
constexpr unsigned kTrustAnchors = 51764;

bool offer_hello_extras(SSL_CTX *ctx, const TlsProfile &p) {
  if (p.record_size_limit < 0 || p.record_size_limit > 0xFFFF) return false;
  auto *extras = static_cast<HelloExtras *>(SSL_CTX_get_ex_data(ctx, extras_index()));
  if (extras == nullptr) {
    auto owned = std::make_unique<HelloExtras>();
    if (SSL_CTX_set_ex_data(ctx, extras_index(), owned.get()) != 1) return false;
    extras = owned.release();
    // Registered once per context; a profile without them sends neither.
    if (SSL_CTX_add_client_custom_ext(ctx, kRecordSizeLimit,
                                      &add_extra<&HelloExtras::record_size_limit>, nullptr, extras,
                                      &parse_record_size_limit, nullptr) != 1 ||
        SSL_CTX_add_client_custom_ext(ctx, kTrustAnchors, &add_extra<&HelloExtras::trust_anchors>,
                                      nullptr, extras, &parse_trust_anchors, nullptr) != 1)
      return false;
  }
  extras->record_size_limit.clear();
  if (p.record_size_limit != 0) {
    extras->record_size_limit.push_back(static_cast<char>(p.record_size_limit >> 8));
    extras->record_size_limit.push_back(static_cast<char>(p.record_size_limit & 0xFF));
  }
  extras->trust_anchors = p.trust_anchors;
  return true;
}

bool apply_library_specific(SSL_CTX *ctx, const TlsProfile &p, bool offers_h2) {
  // Signature algorithms are set as code points: Safari repeats one, which
  // the list parser would refuse. The TLS 1.3 suites go first in the hello,
  // in the list's order (Firefox puts ChaCha20 second).
  const std::vector<uint16_t> sigalgs = codes_of(p.sigalgs, kSigalgCodes);
  const std::vector<uint16_t> listed_only =
      codes_of(kept_names(p.groups, is_finite_field), kFiniteFieldCodes);
  const std::vector<uint16_t> dc_sigalgs = codes_of(p.delegated_credentials, kSigalgCodes);
  bool ok =
      SSL_CTX_set1_curves_list(ctx, known_groups(p.groups).c_str()) == 1 && !sigalgs.empty() &&
      SSL_CTX_set_verify_algorithm_prefs(ctx, sigalgs.data(), sigalgs.size()) == 1 &&
      SSL_CTX_set_ciphersuites(ctx, p.tls13_ciphers.c_str()) == 1 &&
      SSL_CTX_set1_advertised_groups(ctx, listed_only.data(), listed_only.size()) == 1 &&
      (dc_sigalgs.empty() == p.delegated_credentials.empty()) &&
      SSL_CTX_set1_delegated_credential_sigalgs(ctx, dc_sigalgs.data(), dc_sigalgs.size()) == 1 &&
      p.key_shares >= 0 &&
      SSL_CTX_set_key_share_count(ctx, static_cast<size_t>(p.key_shares)) == 1 &&
      offer_hello_extras(ctx, p);
  if (p.status_request) SSL_CTX_enable_ocsp_stapling(ctx);
  if (p.sct) SSL_CTX_enable_signed_cert_timestamps(ctx);
  SSL_CTX_set_grease_enabled(ctx, p.grease ? 1 : 0);
  SSL_CTX_set_permute_extensions(ctx, p.permute_extensions ? 1 : 0);
  // Our AWS-LC's own switch (aws-lc-client-hello.patch): a browser whose hello is always longer
  // (post-quantum key shares) never pads, even where ours would.
  SSL_CTX_set_hello_padding(ctx, p.padding ? 1 : 0);
  ok = ok && offer_cert_decompression(ctx, p.cert_compression);
  SSL_CTX_set_info_callback(ctx, handshake_start_hook(p, offers_h2));
  return ok;
}

#else

// Asking for timestamps is the browser's habit; judging them is not this
// client's: a missing or unverifiable one fails nothing.
int accept_any_scts(const CT_POLICY_EVAL_CTX *, const STACK_OF(SCT) *, void *) { return 1; }

// Each name once, in the order of first appearance: OpenSSL refuses repeats.
std::string unique_names(std::string_view list) {
  std::vector<std::string_view> seen;
  return kept_names(list, [&](std::string_view name) {
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
    seen.push_back(name);
    return true;
  });
}

bool apply_library_specific(SSL_CTX *ctx, const TlsProfile &p, bool) {
  bool ok = SSL_CTX_set_ciphersuites(ctx, p.tls13_ciphers.c_str()) == 1 &&
            SSL_CTX_set1_groups_list(ctx, p.groups.c_str()) == 1 &&
            SSL_CTX_set1_sigalgs_list(ctx, unique_names(p.sigalgs).c_str()) == 1;
  // No browser offers encrypt-then-MAC or post-handshake client
  // authentication; OpenSSL would (AWS-LC has neither).
  uint64_t set = SSL_OP_NO_ENCRYPT_THEN_MAC;
  uint64_t clear = 0;
  (p.padding ? set : clear) |= SSL_OP_TLSEXT_PADDING;
  SSL_CTX_set_options(ctx, set);
  SSL_CTX_clear_options(ctx, clear);
  SSL_CTX_set_post_handshake_auth(ctx, 0);
  // Without a status callback a stapled answer is read and ignored; libcurl
  // checks one only when told to require it.
  if (p.status_request) ok = ok && SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp) == 1;
  if (p.sct) ok = ok && SSL_CTX_set_ct_validation_callback(ctx, &accept_any_scts, nullptr) == 1;
  return ok;
}

#endif

}  // namespace

bool apply_tls_profile(SSL_CTX *ctx, const TlsProfile &p, bool offers_h2) noexcept {
  bool ok = false;
  try {  // the lists are converted into fresh strings and vectors
    ok = SSL_CTX_set_cipher_list(ctx, p.ciphers.c_str()) == 1 &&
         apply_library_specific(ctx, p, offers_h2);
  } catch (...) {
    ok = false;
  }
  if (p.session_ticket)
    SSL_CTX_clear_options(ctx, SSL_OP_NO_TICKET);
  else
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  ERR_clear_error();
  return ok;
}

#ifdef OPENSSL_IS_AWSLC
bool apply_tls_defaults(SSL_CTX *ctx) {
  // AWS-LC would accept SHA-1 handshake signatures; the system's OpenSSL,
  // which the Core ran on before, offered neither those nor 3DES suites
  // (which AWS-LC's ALL already leaves out). Only a browser profile that
  // lists them brings them back.
  static constexpr uint16_t kSigalgs[] = {0x0403, 0x0804, 0x0401, 0x0503,
                                          0x0805, 0x0501, 0x0806, 0x0601};
  const bool ok = SSL_CTX_set_cipher_list(ctx, "ALL:!3DES") == 1 &&
                  SSL_CTX_set_verify_algorithm_prefs(ctx, kSigalgs, std::size(kSigalgs)) == 1;
  ERR_clear_error();
  return ok;
}
#else
bool apply_tls_defaults(SSL_CTX *) { return true; }
#endif

}  // namespace hvcore
