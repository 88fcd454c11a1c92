#include "cache/cache_parts.h"

#include <algorithm>

namespace hvcore::cache {

bool covers(const Parts &parts, Span want) {
  return std::any_of(parts.begin(), parts.end(), [&](const Span &p) {
    return p.first <= want.first && want.second <= p.second;
  });
}

std::optional<Span> missing_span(const Parts &parts, Span want) {
  std::optional<uint64_t> first, end;
  uint64_t at = want.first;
  // Walks the wanted bytes; each gap before a part (or before the end) is
  // missing.
  auto gap = [&](uint64_t from, uint64_t to) {
    if (from >= to) return;
    if (!first) first = from;
    end = to;
  };
  for (const Span &p : parts) {
    if (p.second <= at) continue;
    if (p.first >= want.second) break;
    gap(at, std::min(p.first, want.second));
    at = std::max(at, p.second);
    if (at >= want.second) break;
  }
  gap(at, want.second);
  if (!first) return std::nullopt;
  return Span{*first, *end};
}

Parts merged(const Parts &parts, Span added) {
  Parts out;
  out.reserve(parts.size() + 1);
  bool placed = false;
  auto push = [&](Span s) {
    if (!out.empty() && s.first <= out.back().second)
      out.back().second = std::max(out.back().second, s.second);
    else
      out.push_back(s);
  };
  for (const Span &p : parts) {
    if (!placed && added.first <= p.first) {
      push(added);
      placed = true;
    }
    push(p);
  }
  if (!placed) push(added);
  return out;
}

uint64_t body_offset(const Parts &parts, uint64_t offset) {
  uint64_t before = 0;
  for (const Span &p : parts) {
    if (offset < p.second) return before + (offset - std::min(offset, p.first));
    before += p.second - p.first;
  }
  return before;
}

uint64_t held_bytes(const Parts &parts) {
  uint64_t n = 0;
  for (const Span &p : parts) n += p.second - p.first;
  return n;
}

}  // namespace hvcore::cache
