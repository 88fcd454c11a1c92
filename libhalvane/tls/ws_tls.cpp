#include "tls/ws_tls.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <new>

#include "tls/client_context.h"

namespace hvcore {

namespace ssl = boost::asio::ssl;

std::unique_ptr<ssl::context> make_tls_client_context(const EngineSettings &settings) {
  std::unique_ptr<ssl::context> context;
  try {
    context = std::make_unique<ssl::context>(ssl::context::tls_client);
  } catch (...) {
    ERR_clear_error();
    return nullptr;
  }
  SSL_CTX *ctx = context->native_handle();
  // TLS 1.0 and 1.1 are refused like a current browser does.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // The upgrade is an HTTP/1.1 exchange whatever else the server speaks.
  static constexpr unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  SSL_CTX_set_alpn_protos(ctx, kAlpn, sizeof kAlpn);
  // The same verification and ClientHello as the engine's requests (ALPN
  // apart).
  if (!configure_client_context(ctx, settings, {.offers_h2 = false, .install_trust = true}))
    return nullptr;
  return context;
}

bool prepare_tls_connection(SSL *ssl, const std::string &host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  const bool is_address = !ec;
  X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
  bool ok = true;
  if (is_address) {
    ok = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  } else {
    // As libcurl does for requests: the name (already in its ASCII form)
    // without the dot that may end it, and in lower case for SNI, which
    // servers compare as they please.
    std::string name = host;
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    X509_VERIFY_PARAM_set_hostflags(
        param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    ok = SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 &&
         X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) == 1;
  }
  ERR_clear_error();
  return ok;
}

}  // namespace hvcore
