#include "client/upload_length.h"

#include <string_view>

namespace halvane {
namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<uint64_t> declared_length(const std::vector<Header> &headers) {
  constexpr uint64_t kMaxLength = (uint64_t{1} << 53) - 1;
  std::optional<uint64_t> length;
  for (const Header &h : headers) {
    if (!iequals(h.name, "content-length")) continue;
    const std::string_view text = trim(h.value);
    if (text.empty() || text.size() > 16) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > kMaxLength || (length && *length != value)) return std::nullopt;
    length = value;
  }
  return length;
}

std::optional<std::string> UploadLength::admit(uint64_t len, bool final_chunk) {
  if (!declared_ || broken_) return std::nullopt;
  const uint64_t declared = *declared_;
  if (len > declared - written_) {
    broken_ = true;
    return "upload body ran past its Content-Length of " + std::to_string(declared) + " bytes";
  }
  written_ += len;
  if (final_chunk && written_ < declared) {
    broken_ = true;
    return "upload body ended after " + std::to_string(written_) + " of " +
           std::to_string(declared) + " bytes";
  }
  return std::nullopt;
}

}  // namespace halvane
