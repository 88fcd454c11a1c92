#include "websocket/websocket_text.h"

namespace halvane::websocket_internal {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// How many continuation bytes follow `lead`, and the allowed range of the
// first one (which excludes overlong forms, surrogates and values above
// U+10FFFF). Zero continuation bytes means `lead` cannot start a sequence.
struct Lead {
  int continuation;
  uint8_t low, high;
};

Lead classify(uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
  if (lead == 0xE0) return {2, 0xA0, 0xBF};
  if (lead == 0xED) return {2, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
  if (lead == 0xF0) return {3, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
  if (lead == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::string copy_string(const uint8_t *data, uint32_t len) {
  std::string out;
  if (len == 0) return out;
  out.reserve(len);
  uint32_t i = 0;
  while (i < len) {
    const uint8_t lead = data[i];
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    const Lead spec = classify(lead);
    uint32_t end = i + 1;
    int matched = 0;
    uint8_t low = spec.low, high = spec.high;
    while (matched < spec.continuation && end < len && data[end] >= low && data[end] <= high) {
      ++end;
      ++matched;
      low = 0x80;
      high = 0xBF;
    }
    if (spec.continuation > 0 && matched == spec.continuation)
      out.append(reinterpret_cast<const char *>(data + i), end - i);
    else
      out.append(kReplacement);
    i = end;
  }
  return out;
}

std::vector<uint8_t> copy_bytes(const uint8_t *data, uint32_t len) {
  if (len == 0) return {};
  return std::vector<uint8_t>(data, data + len);
}

}  // namespace halvane::websocket_internal
