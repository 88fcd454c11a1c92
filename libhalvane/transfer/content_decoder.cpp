#include "transfer/content_decoder.h"

#include "base/header_block.h"

namespace hvcore {
namespace {

// The codings named by every Content-Encoding field, in the order applied.
std::vector<std::string> coding_names(std::string_view block) {
  std::vector<std::string> names;
  for (const std::string &value : find_headers(block, "content-encoding"))
    each_member(value, [&](std::string_view member) {
      if (std::string name = lower(member); name != "identity") names.push_back(std::move(name));
    });
  return names;
}

// More layers than any real server sends only cost memory and time.
constexpr size_t kMaxCodings = 5;

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::for_head(std::string_view block) {
  const std::vector<std::string> names = coding_names(block);
  if (names.empty() || names.size() > kMaxCodings) return nullptr;
  std::vector<std::unique_ptr<ContentCoding>> codings;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    auto coding = ContentCoding::make(*it);
    if (!coding) return nullptr;
    codings.push_back(std::move(coding));
  }
  return std::unique_ptr<ContentDecoder>(new ContentDecoder(std::move(codings)));
}

ContentDecoder::ContentDecoder(std::vector<std::unique_ptr<ContentCoding>> codings)
    : codings_(std::move(codings)),
      between_unread_(codings_.size() - 1),
      out_(std::make_unique<std::array<uint8_t, kPiece>>()) {
  for (size_t i = 1; i < codings_.size(); ++i)
    between_.push_back(std::make_unique<std::array<uint8_t, kPiece>>());
}

ContentDecoder::Result ContentDecoder::push(std::string_view input, const Sink &sink) {
  input_ = {reinterpret_cast<const uint8_t *>(input.data()), input.size()};
  const Result result = run(sink);
  // The caller's buffer is gone after this call: keep what is left of it.
  if (result == Result::Paused && input_.len > 0) {
    held_.assign(reinterpret_cast<const char *>(input_.data), input_.len);
    input_ = {reinterpret_cast<const uint8_t *>(held_.data()), held_.size()};
  }
  return result;
}

ContentDecoder::Result ContentDecoder::drain(const Sink &sink) {
  const Result result = run(sink);
  if (result != Result::Paused) {
    held_.clear();
    held_.shrink_to_fit();
  }
  return result;
}

ContentDecoder::Result ContentDecoder::run(const Sink &sink) {
  for (;;) {
    bool failed = false;
    const size_t n = pull(codings_.size() - 1, out_->data(), kPiece, failed);
    if (failed) {
      holding_ = false;
      input_ = {};
      return Result::Failed;
    }
    if (n == 0) {
      holding_ = false;
      input_ = {};
      return Result::Drained;
    }
    if (!sink(out_->data(), n)) {
      // Even with no input left a coding may still hold output.
      holding_ = true;
      return Result::Paused;
    }
  }
}

size_t ContentDecoder::pull(size_t i, uint8_t *out, size_t cap, bool &failed) {
  ContentCoding &coding = *codings_[i];
  Window &in = i == 0 ? input_ : between_unread_[i - 1];
  for (;;) {
    if (coding.finished()) {
      in = {};
      return 0;
    }
    const size_t before = in.len;
    size_t produced = 0;
    if (!coding.step(in.data, in.len, out, cap, produced)) {
      failed = true;
      return 0;
    }
    if (produced > 0) return produced;
    if (in.len > 0) {
      if (in.len == before && !coding.finished()) {  // no progress: cannot happen on sound data
        failed = true;
        return 0;
      }
      continue;
    }
    if (i == 0) return 0;
    // Refill from the coding before this one.
    std::array<uint8_t, kPiece> &buffer = *between_[i - 1];
    const size_t n = pull(i - 1, buffer.data(), buffer.size(), failed);
    if (n == 0) return 0;
    in = {buffer.data(), n};
  }
}

}  // namespace hvcore
