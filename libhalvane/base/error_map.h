// Turns a failed libcurl transfer into the Core's result code and the
// Chromium net error that best names the cause; the socket and TLS parts are
// shared with WebSockets.
#pragma once

#include <curl/curl.h>

#include <string_view>

#include "base/codes.h"

namespace hvcore {

// What is known about a transfer when libcurl reports its failure.
struct FailureFacts {
  CURLcode curl = CURLE_OK;
  long os_errno = 0;           // CURLINFO_OS_ERRNO
  long connect_code = 0;       // CURLINFO_HTTP_CONNECTCODE: the proxy's answer to CONNECT
  long verify_result = 0;      // CURLINFO_SSL_VERIFYRESULT
  long proxy_verify = 0;       // CURLINFO_PROXY_SSL_VERIFYRESULT: an https proxy's
  bool connected = false;      // the TCP connection was made
  bool via_proxy = false;      // the engine sends through a proxy
  bool chunked = false;        // the response head announced chunked coding
  bool awaiting_head = false;  // connected, the response head not complete yet
  std::string_view message;    // libcurl's error buffer
};

Outcome map_failure(const FailureFacts &facts);

// Net error of a socket errno, as the network stack reports it.
int32_t net_error_from_errno(long err, int32_t fallback);

// True when an OpenSSL error code says the two sides share no TLS version or
// cipher.
bool is_version_or_cipher_mismatch(unsigned long code);

// Net error of a failed certificate check, from the TLS library's verify
// result or the certificate policy's (cert_policy.h); `message` is libcurl's
// text where there is one.
int32_t certificate_net_error(long verify_result, std::string_view message = {});

}  // namespace hvcore
