#include "tls/client_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include "base/cert_policy.h"
#include "profiles/profiles.h"
#include "tls/tls_profile.h"
#include "tls/tls_store.h"

namespace hvcore {
namespace {

void install_trust(SSL_CTX *ctx, const EngineSettings &settings) {
  switch (settings.tls) {
    case TlsVerification::Disabled:
      return;
    case TlsVerification::CustomCa:
      // Only the engine's own bundle is trusted.
      settings.ca->install(ctx);
      break;
    case TlsVerification::Default:
      SSL_CTX_set_default_verify_paths(ctx);
      break;
  }
  // A trusted intermediate (or leaf) ends a chain as a root would.
  X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx),
                              X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);
}

}  // namespace

bool configure_client_context(SSL_CTX *ctx, const EngineSettings &settings,
                              ClientContextOptions options) noexcept {
  if (options.install_trust) install_trust(ctx, settings);
  install_certificate_policy(ctx, settings.tls != TlsVerification::Disabled);
  const bool ok = settings.profile != nullptr
                      ? apply_tls_profile(ctx, settings.profile->tls, options.offers_h2)
                      : apply_tls_defaults(ctx);
  ERR_clear_error();
  return ok;
}

}  // namespace hvcore
