#include "base/error_map.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/cert_policy.h"

namespace hvcore {
namespace {

// libcurl copies the TLS library's "error:0A00042E:..." text into its error
// buffer; the packed code there says why a handshake failed. libcurl 8 puts
// "TLS connect error: " before it, so the code is at the "error:" eight hex
// digits follow.
unsigned long openssl_code(std::string_view message) {
  for (size_t at = message.find("error:"); at != std::string_view::npos;
       at = message.find("error:", at + 6)) {
    const std::string hex(message.substr(at + 6, 8));
    char *end = nullptr;
    const unsigned long code = std::strtoul(hex.c_str(), &end, 16);
    if (hex.size() == 8 && end == hex.c_str() + hex.size()) return code;
  }
  return 0;
}

}  // namespace

bool is_version_or_cipher_mismatch(unsigned long code) {
  if (code == 0 || ERR_GET_LIB(code) != ERR_LIB_SSL) return false;
  switch (ERR_GET_REASON(code)) {
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_UNSUPPORTED_PROTOCOL:
#ifdef OPENSSL_IS_AWSLC
    case SSL_R_NO_SUPPORTED_VERSIONS_ENABLED:
#else
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_VERSION_TOO_HIGH:
#endif
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
      return true;
    default:
      return false;
  }
}

int32_t certificate_net_error(long verify_result, std::string_view message) {
  // libcurl checks the name itself once OpenSSL accepted the chain: "...
  // certificate subject name ... target host name '...'" (libcurl 8: "target
  // hostname", "target ipv4 address").
  if (message.find("certificate subject name") != std::string_view::npos)
    return net::kCertCommonNameInvalid;
  switch (verify_result) {
    case X509_V_OK:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return net::kCertCommonNameInvalid;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
      return net::kCertDateInvalid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_INVALID_CA:
    // A signature its named issuer did not make: no path to a trusted
    // certificate, as the browser sees it.
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return net::kCertAuthorityInvalid;
    case kVerifyNoSubjectAltName:
      return net::kCertCommonNameInvalid;
    case kVerifyWeakSignature:
      return net::kCertWeakSignatureAlgorithm;
    case kVerifyWeakKey:
      return net::kCertWeakKey;
    case X509_V_ERR_CERT_REVOKED:
      return net::kCertRevoked;
    default:
      return net::kCertInvalid;
  }
}

int32_t net_error_from_errno(long err, int32_t fallback) {
  switch (err) {
    case ECONNREFUSED:
      return net::kConnectionRefused;
    case ECONNRESET:
    case EPIPE:
      return net::kConnectionReset;
    case ECONNABORTED:
      return net::kConnectionAborted;
    case ENETUNREACH:
    case EHOSTUNREACH:
      return net::kAddressUnreachable;
    case ENETDOWN:
      return net::kInternetDisconnected;
    case EADDRNOTAVAIL:
      return net::kAddressInvalid;
    case ETIMEDOUT:
      return net::kConnectionTimedOut;
    default:
      return fallback;
  }
}

Outcome map_failure(const FailureFacts &f) {
  // libcurl's limit on a whole response head (300 KiB) fails as a receive
  // error; the head is at fault.
  if (f.message.find("Too large response headers") != std::string_view::npos)
    return {kProtocol, net::kResponseHeadersTooBig};
  switch (f.curl) {
    case CURLE_OK:
      return {kOk, 0};
    case CURLE_OUT_OF_MEMORY:
      // Request heads are kept far below libcurl's buffer for them, so
      // while a head is awaited this is its limit on one response line
      // (100 KiB), reported without a message.
      if (f.awaiting_head) return {kProtocol, net::kResponseHeadersTooBig};
      return {kOutOfMemory, net::kOutOfMemory};
    case CURLE_ABORTED_BY_CALLBACK:
      return {kCanceled, net::kAborted};
#if LIBCURL_VERSION_NUM >= 0x080600
    case CURLE_TOO_LARGE:
      // libcurl 8's code for a response line or head over its limits.
      if (f.awaiting_head) return {kProtocol, net::kResponseHeadersTooBig};
      return {kNetwork, net::kFailed};
#endif

    case CURLE_COULDNT_RESOLVE_PROXY:
      return {kProxy, net::kProxyConnectionFailed};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {kNetwork, net::kNameNotResolved};
    case CURLE_COULDNT_CONNECT:
      // Through a proxy every connection goes to the proxy.
      if (f.via_proxy) return {kProxy, net::kProxyConnectionFailed};
      return {kNetwork, net_error_from_errno(f.os_errno, net::kConnectionFailed)};
    case CURLE_PROXY:
      return {kProxy, net::kProxyConnectionFailed};

    case CURLE_OPERATION_TIMEDOUT:
      return {kTimeout, f.connected ? net::kTimedOut : net::kConnectionTimedOut};

    case CURLE_SSL_CONNECT_ERROR:
      if (is_version_or_cipher_mismatch(openssl_code(f.message)))
        return {kTls, net::kSslVersionOrCipherMismatch};
      return {kTls, net::kSslProtocolError};
    case CURLE_PEER_FAILED_VERIFICATION:
      // An https proxy's certificate fails before the server's is seen,
      // which leaves the server's result at zero.
      return {kTls, certificate_net_error(
                        f.proxy_verify != X509_V_OK ? f.proxy_verify : f.verify_result, f.message)};
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return {kTls, net::kSslPinnedKeyNotInCertChain};
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CLIENTCERT:
      return {kTls, net::kSslProtocolError};

    case CURLE_GOT_NOTHING:
      return {kNetwork, net::kEmptyResponse};
    case CURLE_PARTIAL_FILE:
      return {kNetwork, f.chunked ? net::kIncompleteChunkedEncoding : net::kContentLengthMismatch};
    case CURLE_BAD_CONTENT_ENCODING:
      return {kNetwork, net::kContentDecodingFailed};
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return {kProtocol, net::kHttp2ProtocolError};
    case CURLE_QUIC_CONNECT_ERROR:
      return {kNetwork, net::kQuicHandshakeFailed};
    case CURLE_HTTP3:
      return {kProtocol, net::kQuicProtocolError};
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:  // HTTP/0.9 or an unknown version in the reply
      return {kProtocol, net::kInvalidHttpResponse};

    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      if (f.via_proxy && f.connect_code != 0 && (f.connect_code < 200 || f.connect_code > 299))
        return {kProxy,
                f.connect_code == 407 ? net::kProxyAuthRequested : net::kTunnelConnectionFailed};
      if (f.message.find("chunked-encoding") != std::string_view::npos)
        return {kProtocol, net::kInvalidChunkedEncoding};
      return {kNetwork,
              net_error_from_errno(f.os_errno, f.curl == CURLE_RECV_ERROR ? net::kConnectionClosed
                                                                          : net::kConnectionReset)};
    case CURLE_SEND_FAIL_REWIND:
      return {kNetwork, net::kUploadStreamRewindNotSupported};
    case CURLE_URL_MALFORMAT:
      return {kInvalidArgument, net::kInvalidUrl};
    default:
      return {kNetwork, net::kFailed};
  }
}

}  // namespace hvcore
