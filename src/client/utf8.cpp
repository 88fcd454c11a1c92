#include "client/utf8.h"

namespace halvane {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool in(uint8_t byte, uint8_t lo, uint8_t hi) { return byte >= lo && byte <= hi; }

// For a lead byte: the number of continuation bytes it needs and the range
// its first continuation must fall in (the later ones are always 80..BF).
// Returns false for a byte that cannot start a sequence.
bool lead_info(uint8_t lead, uint32_t &needed, uint8_t &lo, uint8_t &hi) {
  lo = 0x80;
  hi = 0xBF;
  if (in(lead, 0xC2, 0xDF)) {
    needed = 1;
  } else if (in(lead, 0xE0, 0xEF)) {
    needed = 2;
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (in(lead, 0xF0, 0xF4)) {
    needed = 3;
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return false;
  }
  return true;
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
    uint32_t needed = 0;
    uint8_t lo = 0, hi = 0;
    if (!lead_info(lead, needed, lo, hi)) {
      out += kReplacement;
      ++i;
      continue;
    }
    // Count the continuation bytes that fit; a short or broken sequence is
    // replaced as one unit and decoding resumes at the offending byte.
    uint32_t have = 0;
    while (have < needed && i + 1 + have < len) {
      const uint8_t next = data[i + 1 + have];
      if (!(have == 0 ? in(next, lo, hi) : in(next, 0x80, 0xBF))) break;
      ++have;
    }
    if (have == needed) {
      out.append(reinterpret_cast<const char *>(data + i), needed + 1);
    } else {
      out += kReplacement;
    }
    i += 1 + have;
  }
  return out;
}

}  // namespace halvane
