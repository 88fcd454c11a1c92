// A browser's TLS ClientHello written into a client context, or the Core's
// own hello without a profile. The Core normally runs on its own AWS-LC
// (BoringSSL's API), which writes all of it; built on the system's OpenSSL, the parts marked in
// profile_types.h are left out.
#pragma once

#include <openssl/ssl.h>

#include "profiles/profile_types.h"

namespace hvcore {

// Writes the profile into a client context. Verification and the lowest
// protocol version are left as they are. `offers_h2`: the connections of this
// context offer h2 in ALPN (the browsers add h2 settings then). False when
// the TLS library refuses a list.
bool apply_tls_profile(SSL_CTX *ctx, const TlsProfile &profile, bool offers_h2) noexcept;

// The TLS settings of a connection without a profile: on AWS-LC, no 3DES
// suites and no SHA-1 handshake signatures. False when the library refuses.
bool apply_tls_defaults(SSL_CTX *ctx);

}  // namespace hvcore
