// The client layer's single error type and the mapping from Core result codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace halvane {

class Error {
 public:
  enum class Kind : uint8_t {
    InvalidArgument = 0,
    UnsupportedAbi = 1,
    OutOfMemory = 2,
    InitializationFailed = 3,
    InvalidState = 4,
    Timeout = 5,
    Canceled = 6,
    Network = 7,
    Tls = 8,
    Proxy = 9,
    Protocol = 10,
    Redirect = 11,
    CacheMiss = 12,
    ProfileConflict = 13,
    ProfileUnsupported = 14,
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
