// One content coding's streaming decoder (RFC 9110 section 8.4.1): gzip,
// deflate, br and zstd. Each works in steps over caller-owned buffers and
// never holds more than its own window, so output can be taken in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace hvcore {

class ContentCoding {
 public:
  virtual ~ContentCoding() = default;

  // Decodes from [in, in + in_len) into [out, out + cap): advances `in` and
  // `in_len` past what was read and sets `produced`. False on corrupt data.
  // Called with no input it hands out output still held from earlier input.
  virtual bool step(const uint8_t *&in, size_t &in_len, uint8_t *out, size_t cap,
                    size_t &produced) = 0;

  // The coded stream has ended; whatever follows it is ignored.
  virtual bool finished() const { return false; }

  // A decoder for a coding name as it appears in Content-Encoding (already
  // lower case); nothing for a coding this Core cannot decode. Throws
  // std::bad_alloc when the decoder cannot be set up.
  static std::unique_ptr<ContentCoding> make(std::string_view name);
};

// The Accept-Encoding value listing every coding `make` knows.
inline constexpr std::string_view kAcceptedCodings = "deflate, gzip, br, zstd";

}  // namespace hvcore
