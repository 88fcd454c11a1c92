// Result codes returned across the C interface and the Chromium net error
// numbers reported with a request's completion or a WebSocket's failure.
#pragma once

#include <cstdint>

#include "halvane/hv_abi.h"

namespace hvcore {

enum Code : int32_t {
  kOk = HV_OK,
  kInvalidArgument = HV_ERR_INVALID_ARGUMENT,
  kUnsupportedAbi = HV_ERR_UNSUPPORTED_ABI,
  kOutOfMemory = HV_ERR_OUT_OF_MEMORY,
  kInitializationFailed = HV_ERR_INITIALIZATION_FAILED,
  kInvalidState = HV_ERR_INVALID_STATE,
  kTimeout = HV_ERR_TIMEOUT,
  kCanceled = HV_ERR_CANCELED,
  kNetwork = HV_ERR_NETWORK,
  kTls = HV_ERR_TLS,
  kProxy = HV_ERR_PROXY,
  kProtocol = HV_ERR_PROTOCOL,
  kRedirect = HV_ERR_REDIRECT,
  kCacheMiss = HV_ERR_CACHE_MISS,
  kProfileConflict = HV_ERR_PROFILE_CONFLICT,
  kProfileUnsupported = HV_ERR_PROFILE_UNSUPPORTED,
};

namespace net {
constexpr int32_t kFailed = -2;
constexpr int32_t kAborted = -3;
constexpr int32_t kInvalidArgument = -4;
constexpr int32_t kTimedOut = -7;
constexpr int32_t kOutOfMemory = -13;
constexpr int32_t kUploadFileChanged = -14;
constexpr int32_t kUploadStreamRewindNotSupported = -25;
constexpr int32_t kConnectionClosed = -100;
constexpr int32_t kConnectionReset = -101;
constexpr int32_t kConnectionRefused = -102;
constexpr int32_t kConnectionAborted = -103;
constexpr int32_t kConnectionFailed = -104;
constexpr int32_t kNameNotResolved = -105;
constexpr int32_t kInternetDisconnected = -106;
constexpr int32_t kSslProtocolError = -107;
constexpr int32_t kAddressInvalid = -108;
constexpr int32_t kAddressUnreachable = -109;
constexpr int32_t kTunnelConnectionFailed = -111;
constexpr int32_t kSslVersionOrCipherMismatch = -113;
constexpr int32_t kConnectionTimedOut = -118;
constexpr int32_t kProxyAuthRequested = -127;
constexpr int32_t kProxyConnectionFailed = -130;
constexpr int32_t kMsgTooBig = -142;
constexpr int32_t kWsProtocolError = -145;
constexpr int32_t kSslPinnedKeyNotInCertChain = -150;
constexpr int32_t kCertCommonNameInvalid = -200;
constexpr int32_t kCertDateInvalid = -201;
constexpr int32_t kCertAuthorityInvalid = -202;
constexpr int32_t kCertRevoked = -206;
constexpr int32_t kCertInvalid = -207;
constexpr int32_t kCertWeakSignatureAlgorithm = -208;
constexpr int32_t kCertWeakKey = -211;
constexpr int32_t kInvalidUrl = -300;
constexpr int32_t kInvalidRedirect = -303;
constexpr int32_t kTooManyRedirects = -310;
constexpr int32_t kUnsafeRedirect = -311;
constexpr int32_t kInvalidResponse = -320;
constexpr int32_t kInvalidChunkedEncoding = -321;
constexpr int32_t kEmptyResponse = -324;
constexpr int32_t kResponseHeadersTooBig = -325;
constexpr int32_t kContentDecodingFailed = -330;
constexpr int32_t kHttp2ProtocolError = -337;
constexpr int32_t kContentLengthMismatch = -354;
constexpr int32_t kIncompleteChunkedEncoding = -355;
constexpr int32_t kQuicProtocolError = -356;
constexpr int32_t kQuicHandshakeFailed = -358;
constexpr int32_t kInvalidHttpResponse = -370;
constexpr int32_t kCacheMiss = -400;
constexpr int32_t kCacheReadFailure = -401;
constexpr int32_t kCacheWriteFailure = -410;
}  // namespace net

// A final result: a Core code and the net error that goes with it.
struct Outcome {
  int32_t code = kOk;
  int32_t net_error = 0;
};

}  // namespace hvcore
