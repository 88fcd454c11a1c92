// The Core's diagnostic channel: what it did with each request and WebSocket,
// for a user who asks. HALVANE_LOG switches it on, read once, at the first
// event of the process: "stderr", or a file path that lines are appended to
// (made with mode 0600). Unset or empty, the channel is off and an event costs
// one branch.
//
// One line an event: a UTC time stamp with microseconds, the object and its
// handle, and what happened:
//   2026-12-09T02:10:11.123456Z transfer 7 response 200 HTTP/1.1, connection new ...
// Lines are queued and written by a thread of the channel's own, so that a
// Core thread never waits for a slow file or a full pipe; what the queue cannot
// hold is dropped and counted in a line of its own. A file that cannot be
// opened switches the channel off with one line to stderr. Nothing here
// throws. Lines still queued when the process exits are written first, for at
// most a moment; a forked child drops those of its parent and writes its own.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace hvcore::diag {

namespace detail {
enum State : int { kUnknown, kOff, kOn };
inline std::atomic<int> state{kUnknown};
// Reads HALVANE_LOG the first time; true when the channel is on.
bool resolve() noexcept;
// Queue "<time stamp> <kind> <id> <text...>"; the texts are joined as they are.
void line(const char *kind, uint64_t id, std::string_view a, std::string_view b = {},
          std::string_view c = {}) noexcept;
void line(const char *kind, uint64_t id, std::string_view a, long n, std::string_view b = {},
          std::string_view c = {}) noexcept;
void hop(uint64_t transfer, CURL *easy) noexcept;
}  // namespace detail

// True when the channel is on; off, this is the one branch an event costs.
inline bool on() noexcept {
  return detail::state.load(std::memory_order_relaxed) != detail::kOff && detail::resolve();
}

// A transfer's hop goes out: its method and URL.
inline void request(uint64_t transfer, const std::string &method, const std::string &url) noexcept {
  if (on()) detail::line("transfer", transfer, method, " ", url);
}
// A hop ended on the network: the status, the HTTP version and the connection
// (new or reused, and where to) that `easy` reports.
inline void hop(uint64_t transfer, CURL *easy) noexcept {
  if (on()) detail::hop(transfer, easy);
}
// The cache's decision for the hop: hit, revalidating, revalidated, miss,
// stored, not stored.
inline void cache(uint64_t transfer, const char *decision) noexcept {
  if (on()) detail::line("transfer", transfer, "cache ", decision);
}
inline void redirect(uint64_t transfer, int status, const std::string &location) noexcept {
  if (on()) detail::line("transfer", transfer, "redirect ", status, " to ", location);
}
// QUIC to the hop's origin failed before the request went out; it goes
// again over TCP.
inline void quic_fallback(uint64_t transfer) noexcept {
  if (on()) detail::line("transfer", transfer, "QUIC failed, again over TCP");
}
// The request ended with the Core code `code` (0: complete).
inline void end(uint64_t transfer, int32_t code) noexcept {
  if (on()) detail::line("transfer", transfer, "end, code ", code);
}
// A WebSocket opened, closed or failed.
inline void websocket(uint64_t ws, const char *event) noexcept {
  if (on()) detail::line("websocket", ws, event);
}

}  // namespace hvcore::diag
