#include "base/http_text.h"

#include <algorithm>
#include <ctime>

namespace hvcore {
namespace {

// ASCII only: the C library's tolower follows the process's locale, which
// the interpreter may have changed.
char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_ows(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_ows(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ows(text.back())) text.remove_suffix(1);
  return text;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lower_ascii(x) == lower_ascii(y);
         });
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower_ascii);
  return out;
}

std::optional<int64_t> parse_digits(std::string_view text, int64_t cap) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    value = value > (cap - digit) / 10 ? cap : value * 10 + digit;
  }
  return value;
}

int64_t now_seconds() {
  // Not time(2): on Linux it reads the coarse clock, which trails the real
  // one by up to a tick, so a Date an origin stamped a moment ago could look
  // a second in the future and an age come out a second short.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

}  // namespace hvcore
