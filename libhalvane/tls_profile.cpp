#include "tls_profile.h"

#include <openssl/ct.h>
#include <openssl/err.h>

#include "profiles.h"
#include "settings.h"
#include "tls_store.h"

namespace hvcore {
namespace {

// Asking for timestamps is the browser's habit; judging them is not this
// client's: a missing or unverifiable one fails nothing.
int accept_any_scts(const CT_POLICY_EVAL_CTX *, const STACK_OF(SCT) *, void *) { return 1; }

}  // namespace

bool apply_tls_profile(SSL_CTX *ctx, const TlsProfile &p) {
  bool ok = SSL_CTX_set_cipher_list(ctx, p.ciphers.c_str()) == 1 &&
            SSL_CTX_set_ciphersuites(ctx, p.tls13_ciphers.c_str()) == 1 &&
            SSL_CTX_set1_groups_list(ctx, p.groups.c_str()) == 1 &&
            SSL_CTX_set1_sigalgs_list(ctx, p.sigalgs.c_str()) == 1;
  // No browser offers encrypt-then-MAC or post-handshake client
  // authentication; OpenSSL and libcurl would.
  uint64_t set = SSL_OP_NO_ENCRYPT_THEN_MAC;
  uint64_t clear = 0;
  (p.session_ticket ? clear : set) |= SSL_OP_NO_TICKET;
  (p.padding ? set : clear) |= SSL_OP_TLSEXT_PADDING;
  SSL_CTX_set_options(ctx, set);
  SSL_CTX_clear_options(ctx, clear);
  SSL_CTX_set_post_handshake_auth(ctx, 0);
  // Without a status callback a stapled answer is read and ignored; libcurl
  // checks one only when told to require it.
  if (p.status_request) ok = ok && SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp) == 1;
  if (p.sct) ok = ok && SSL_CTX_set_ct_validation_callback(ctx, &accept_any_scts, nullptr) == 1;
  ERR_clear_error();
  return ok;
}

bool needs_ssl_ctx_callback(const EngineSettings &s) {
  return s.tls == TlsVerification::CustomCa || !s.impersonate.empty();
}

CURLcode engine_ssl_ctx_callback(CURL *, void *ssl_ctx, void *engine_settings) noexcept {
  const auto &s = *static_cast<const EngineSettings *>(engine_settings);
  auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
  if (s.tls == TlsVerification::CustomCa) s.ca->install(ctx);
  if (!s.impersonate.empty()) {
    // The engine's check found this profile, so the lookup allocates nothing.
    const BrowserProfile *profile = nullptr;
    try {
      profile = find_profile(s.impersonate);
    } catch (...) {
      return CURLE_OUT_OF_MEMORY;
    }
    if (profile == nullptr || !apply_tls_profile(ctx, profile->tls)) return CURLE_SSL_CIPHER;
  }
  return CURLE_OK;
}

}  // namespace hvcore
