#include "client/error.h"

namespace halvane {

namespace {
constexpr const char *kNames[] = {
    "InvalidArgument",
    "UnsupportedAbi",
    "OutOfMemory",
    "InitializationFailed",
    "InvalidState",
    "Timeout",
    "Canceled",
    "Network",
    "Tls",
    "Proxy",
    "Protocol",
    "Redirect",
    "CacheMiss",
    "ProfileConflict",
    "ProfileUnsupported",
    "CallbackPanic",
    "BufferLimit",
    "Native",
};
}  // namespace

const char *kind_name(Error::Kind kind) { return kNames[static_cast<unsigned>(kind)]; }

std::optional<Error> Error::from_code(int32_t code) {
  if (code == HV_OK) return std::nullopt;
  const auto unsigned_code = static_cast<uint32_t>(code);
  if (unsigned_code >= HV_ERR_INVALID_ARGUMENT && unsigned_code <= HV_RESULT_MAX)
    return Error(static_cast<Kind>(unsigned_code - HV_ERR_INVALID_ARGUMENT));
  return native(code);
}

std::string Error::display() const {
  if (kind_ == Kind::Native) return "native error " + std::to_string(code_);
  return kind_name(kind_);
}

std::string Error::debug() const {
  if (kind_ == Kind::Native) return "Native(" + std::to_string(code_) + ")";
  return kind_name(kind_);
}

std::string RequestError::display() const {
  return error.display() + " (Chromium net error " + std::to_string(net_error) + ")";
}

}  // namespace halvane
