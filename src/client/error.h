// The client layer's single error type and the mapping from Core result codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "halvane/hv_abi.h"

namespace halvane {

class Error {
 public:
  // Kinds 0..14 are the Core result codes 1..15, one below each.
  enum class Kind : uint8_t {
    InvalidArgument = HV_ERR_INVALID_ARGUMENT - 1,
    UnsupportedAbi = HV_ERR_UNSUPPORTED_ABI - 1,
    OutOfMemory = HV_ERR_OUT_OF_MEMORY - 1,
    InitializationFailed = HV_ERR_INITIALIZATION_FAILED - 1,
    InvalidState = HV_ERR_INVALID_STATE - 1,
    Timeout = HV_ERR_TIMEOUT - 1,
    Canceled = HV_ERR_CANCELED - 1,
    Network = HV_ERR_NETWORK - 1,
    Tls = HV_ERR_TLS - 1,
    Proxy = HV_ERR_PROXY - 1,
    Protocol = HV_ERR_PROTOCOL - 1,
    Redirect = HV_ERR_REDIRECT - 1,
    CacheMiss = HV_ERR_CACHE_MISS - 1,
    ProfileConflict = HV_ERR_PROFILE_CONFLICT - 1,
    ProfileUnsupported = HV_ERR_PROFILE_UNSUPPORTED - 1,
    // The layer's own kinds.
    CallbackPanic = 15,
    BufferLimit = 16,
    Native = 17,
  };

  constexpr Error(Kind kind) : kind_(kind) {}  // NOLINT: implicit on purpose
  static constexpr Error native(int32_t code) { return Error(Kind::Native, code); }

  // Maps a Core result code: 0 is success (no error), 1..15 are kinds 0..14,
  // anything else (negative values included) is Native with the raw code.
  static std::optional<Error> from_code(int32_t code);

  Kind kind() const { return kind_; }
  int32_t native_code() const { return code_; }

  // "Timeout", "native error -3".
  std::string display() const;
  // "Timeout", "Native(-3)".
  std::string debug() const;

  friend bool operator==(const Error &, const Error &) = default;

 private:
  constexpr Error(Kind kind, int32_t code) : kind_(kind), code_(code) {}
  Kind kind_;
  int32_t code_ = 0;
};

const char *kind_name(Error::Kind kind);

// A finished request's failure, with the Chromium net error number.
struct RequestError {
  Error error;
  int32_t net_error = 0;

  // "Network (Chromium net error -105)".
  std::string display() const;
  friend bool operator==(const RequestError &, const RequestError &) = default;
};

}  // namespace halvane
