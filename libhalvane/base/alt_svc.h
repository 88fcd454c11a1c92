// HTTP/3 alternatives that https origins advertise with Alt-Svc (RFC 7838),
// and what this client learnt about reaching them, as a browser keeps it:
// an advertisement replaces the origin's earlier ones, lives for its max-age,
// and an alternative that failed is left alone for a while, longer each time.
//
// Only "h3" on the origin's own host and port is used: QUIC is then tried
// beside TCP to the same address, and TCP is there to fall back to.
// Advertisements of other protocols or other authorities are ignored.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvcore {

// What one Alt-Svc field says about HTTP/3 for the origin it came from.
struct AltSvcField {
  bool clear = false;  // "clear": the origin withdraws every alternative
  // The first h3 alternative on the origin's own host and port, and how long
  // it may be used (ma, default 24 hours); none when the field names none.
  std::optional<int64_t> h3_max_age;
};

// Reads an Alt-Svc field value received from the origin on `origin_host`
// and `origin_port`. Malformed members are skipped.
AltSvcField parse_alt_svc(std::string_view value, std::string_view origin_host, int origin_port);

// An origin's HTTP/3 alternative as stored: the origin is
// "https://host:port" (url_origin), `expires` wall-clock seconds.
struct AltSvcEntry {
  std::string origin;
  int64_t expires = 0;
};

// The alternatives an engine (or a profile namespace's engines) knows. Any
// thread: one mutex guards it, held for map lookups only.
class AltServices {
 public:
  enum class Use {
    None,     // TCP only: nothing advertised, expired, or broken for now
    Try,      // advertised, not yet reached: race QUIC against TCP
    Working,  // reached over QUIC before: QUIC alone, TCP if it fails
  };
  using Clock = std::chrono::steady_clock;

  // Called (without the mutex) with each stored change: an entry advertised
  // or refreshed, or an origin's entry gone (`expires` 0). The namespace's
  // database keeps them for the next process.
  using Persist = std::function<void(const AltSvcEntry &)>;
  void set_persist(Persist persist);

  // Entries read back from storage; expired ones are skipped.
  void load(const std::vector<AltSvcEntry> &entries, int64_t now);

  // An origin's response carried `field` (the Alt-Svc value).
  void advertised(const std::string &origin, std::string_view field, int64_t now);

  // How a new request to `origin` may use HTTP/3. One request at a time is
  // given Try (the race); the others go over TCP meanwhile, sharing its
  // connections, and the race's caller ends it with one of the three calls
  // below.
  Use use_for(const std::string &origin, int64_t now, Clock::time_point mono_now);

  // QUIC answered for `origin`: it is used alone from now on, and a later
  // failure starts over at the shortest wait.
  void reached(const std::string &origin);
  // QUIC did not answer for `origin`: TCP only until the wait is over (5
  // minutes, doubling with each failure that follows, up to 2 days).
  void broken(const std::string &origin, Clock::time_point mono_now);
  // The request given Try ended before it had a connection (cancelled,
  // answered from the cache, failed): the next request races instead.
  void race_abandoned(const std::string &origin);

 private:
  struct State {
    int64_t expires = 0;  // of the advertisement; 0: none
    bool working = false;
    bool racing = false;  // a request was given Try and has not ended it
    int failures = 0;
    std::optional<Clock::time_point> broken_until;
  };
  void store(const std::string &origin, int64_t expires);

  std::mutex mutex_;
  std::map<std::string, State> states_;  // at most kMaxOrigins
  Persist persist_;
};

}  // namespace hvcore
