// Keeps a streamed body to the Content-Length its request declared. The
// Core holds the body to it as well and fails the request; this side names
// what went wrong for the writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/request_config.h"

namespace halvane {

// The length `headers` declare: one or more Content-Length fields, all the
// same run of digits (surrounding blanks allowed), at most 2^53 - 1. Nothing
// otherwise, and such a body goes out chunked.
std::optional<uint64_t> declared_length(const std::vector<Header> &headers);

class UploadLength {
 public:
  explicit UploadLength(std::optional<uint64_t> declared) : declared_(declared) {}

  // Counts `len` more bytes, the last ones when `final_chunk`. Returns the
  // message for a body that broke its length ("upload body ran past its
  // Content-Length of 5 bytes", "upload body ended after 3 of 5 bytes"),
  // nothing while it keeps to it or declares none.
  std::optional<std::string> admit(uint64_t len, bool final_chunk);

 private:
  std::optional<uint64_t> declared_;
  uint64_t written_ = 0;
  bool broken_ = false;
};

}  // namespace halvane
