// Browser identity profiles: which names the Core accepts, and how a
// profile's default headers combine with the engine's and the caller's for a
// request or a WebSocket handshake.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "profiles/profile_types.h"

namespace hvcore {

struct BrowserProfile {
  std::string name;  // canonical, e.g. "chrome_131"
  // A top-level navigation typed into the address bar, in the browser's order.
  std::vector<ProfileHeader> navigation;
  // The opening handshake of a WebSocket. Entries with an empty value only
  // mark where a field written elsewhere (the key, the origin, ...) goes.
  std::vector<ProfileHeader> websocket;
  TlsProfile tls;
  // How a new HTTP/2 connection opens, in the common fingerprint form
  // "settings|window|0|pseudo-header order" (the Core's own libcurl only).
  std::string http2;
};

// The profile a name stands for, or null when the Core has none. Every name
// the Core accepts resolves here and nowhere else: "<family>_<major>" in
// lower case, or a bare family name, which stands for its newest major and
// is known from then on by that profile's canonical name. Profiles live as
// long as the process and never change.
const BrowserProfile *find_profile(std::string_view name);

// Every profile name the Core accepts, canonical ones first, for tests and
// documentation.
std::vector<std::string> profile_names();

// A request's header fields in the order they are written: the profile's
// defaults, each replaced in place by the caller's fields of that name (all
// of them) or else by the engine's user agent and accept-language; the
// caller's other fields follow in their order.
std::vector<HeaderField> compose_request_headers(const BrowserProfile &profile,
                                                 const EngineSettings &engine,
                                                 const std::vector<HeaderField> &caller,
                                                 bool http2);

// The handshake's fields reordered as the profile writes them. `handshake`
// holds what the handshake already carries (the WebSocket fields, the
// caller's, the engine's defaults); its values win over the profile's, except
// Connection, which the profile spells. Fields the profile does not know
// follow in their order.
std::vector<HeaderField> compose_websocket_headers(const BrowserProfile &profile,
                                                   const std::vector<HeaderField> &handshake);

}  // namespace hvcore
