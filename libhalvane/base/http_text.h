// The small text rules HTTP fields share (RFC 9110 5.6): whitespace around
// values, names compared without case, comma-separated lists; and the wall
// clock the Core stamps cookies, cache entries and leases with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hvcore {

// The text without the spaces and tabs (OWS) around it.
std::string_view trim(std::string_view text);

// True when the two are equal, ASCII letters compared without case.
bool iequals(std::string_view a, std::string_view b);

// The text with its ASCII letters in lower case; other bytes stay.
std::string lower(std::string_view text);

// Calls `f` with each member of a comma-separated list, trimmed; empty
// members are skipped (RFC 9110 5.6.1), and commas inside quoted strings
// (backslash escapes included) do not separate.
template <typename F>
void each_member(std::string_view list, F f) {
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || (!quoted && list[i] == ',')) {
      const std::string_view member = trim(list.substr(start, i - start));
      if (!member.empty()) f(member);
      start = i + 1;
    } else if (list[i] == '"') {
      quoted = !quoted;
    } else if (quoted && list[i] == '\\' && i + 1 < list.size()) {
      ++i;
    }
  }
}

// A run of one or more ASCII digits and nothing else (delta-seconds, RFC
// 9111 1.2.2, a port); a value past `cap` counts as `cap`. Nothing for
// anything else.
std::optional<int64_t> parse_digits(std::string_view text, int64_t cap);

// Wall-clock seconds since the epoch, from the precise real-time clock.
int64_t now_seconds();

}  // namespace hvcore
