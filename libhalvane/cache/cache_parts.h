// The byte ranges a partial entry holds of its representation (RFC 9111
// 3.3, 3.4): which part of a wanted span is missing, how a new range joins
// the stored ones, and where a byte of the representation sits in the body,
// which holds the ranges one after another. Pure functions; a range is
// [first, end).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace hvcore::cache {

using Span = std::pair<uint64_t, uint64_t>;
using Parts = std::vector<Span>;

// True when one stored range holds all of `want` (ranges are kept apart, so
// a covered span never straddles two).
bool covers(const Parts &parts, Span want);

// The smallest span that holds every byte of `want` the parts lack; nothing
// when they lack none.
std::optional<Span> missing_span(const Parts &parts, Span want);

// The parts with `added` joined: in order, overlapping and touching ranges
// merged.
Parts merged(const Parts &parts, Span added);

// Where representation byte `offset` sits in the body; the offset must lie
// in one of the parts.
uint64_t body_offset(const Parts &parts, uint64_t offset);

// The bytes the parts hold, all of them.
uint64_t held_bytes(const Parts &parts);

}  // namespace hvcore::cache
