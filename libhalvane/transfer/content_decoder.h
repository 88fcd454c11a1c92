// Decodes a response body's content codings between libcurl and the
// caller's on_body, in pieces of at most kPiece bytes, stopping the moment
// the caller asks to pause. Paused, it keeps the input of at most one
// network read plus each coding's window; nothing grows with the ratio of
// the compression.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/content_coding.h"

namespace hvcore {

class ContentDecoder {
 public:
  static constexpr size_t kPiece = 64 * 1024;

  // Takes one decoded piece; false asks to pause after it.
  using Sink = std::function<bool(const uint8_t *data, size_t len)>;
  enum class Result { Drained, Paused, Failed };

  // The decoder for a response head, or nothing when the body goes to the
  // caller as it arrived: no coding, only identity, or a coding this Core
  // cannot decode (the head then still names it, as a browser would show).
  // Throws std::bad_alloc.
  static std::unique_ptr<ContentDecoder> for_head(std::string_view block);

  // Decodes `input` (only when nothing is held) and hands the output to
  // `sink`. On a pause whatever is left of `input` is kept.
  Result push(std::string_view input, const Sink &sink);
  // Goes on with what a pause left behind.
  Result drain(const Sink &sink);
  // A pause left input or decoded output behind.
  bool holding() const { return holding_; }

 private:
  explicit ContentDecoder(std::vector<std::unique_ptr<ContentCoding>> codings);

  struct Window {
    const uint8_t *data = nullptr;
    size_t len = 0;
  };
  Result run(const Sink &sink);
  // Up to `cap` bytes of the output of coding `i`; 0 when it needs input.
  size_t pull(size_t i, uint8_t *out, size_t cap, bool &failed);

  // codings_[0] decodes the bytes as they arrived: the last coding applied.
  std::vector<std::unique_ptr<ContentCoding>> codings_;
  // Between coding i and i + 1: a buffer and the unread part of it.
  std::vector<std::unique_ptr<std::array<uint8_t, kPiece>>> between_;
  std::vector<Window> between_unread_;
  std::unique_ptr<std::array<uint8_t, kPiece>> out_;
  Window input_;
  std::string held_;
  bool holding_ = false;
};

}  // namespace hvcore
