// The browser data behind the profiles: per family, the eras of its major
// versions, each era stating only what changed since the one before.
#pragma once

#include <span>
#include <string_view>

#include "profiles/profile_types.h"

namespace hvcore::profile_data {

// A header whose value may hold placeholders: {ua}, {brands} (the client-hint
// brand list), {accept}, {encoding}, {language}.
struct Header {
  std::string_view name;
  std::string_view value;
  SentOn only = SentOn::Any;
  int since = 0;  // the first major version that sends it
};

struct Tls {
  std::string_view ciphers, tls13_ciphers, groups, sigalgs;
  bool status_request = true, sct = false, session_ticket = true, padding = false;
  bool grease = false, permute_extensions = false, alps = false, ech_grease = false;
  std::string_view cert_compression = {};
  bool alps_new_codepoint = false;
  int key_shares = 0;
  std::string_view delegated_credentials = {};
  int record_size_limit = 0;
  std::string_view trust_anchors = {};  // raw bytes
};

// Empty or null members: as in the era before.
struct Era {
  int first = 0;  // first major version of the era; it lasts until the next one
  std::span<const Header> navigation = {};
  std::span<const Header> websocket = {};
  std::string_view accept = {};    // a navigation's Accept
  std::string_view encoding = {};  // the content codings offered
  std::string_view version = {};   // Safari's full version, e.g. "17.6"
  std::string_view os = {};        // the iPhone's system version in the user agent, e.g. "18_7";
                                   // empty: the version's, underscored
  std::string_view language = {};  // Accept-Language; empty: the family's
  const Tls *tls = nullptr;
  // How a new HTTP/2 connection opens: "settings|window|0|pseudo-header order".
  std::string_view http2 = {};
};

// The user agent's placeholders: {major}, {version} and {version_} (the
// full version with underscores).
struct Family {
  std::string_view name;
  int first, last;  // major versions the Core reproduces
  std::string_view user_agent;
  std::string_view brand;        // the client-hint brand; empty: no client hints
  std::string_view language;     // Accept-Language
  std::span<const Era> eras;     // ascending; the first starts at `first`
  bool era_majors_only = false;  // only the majors that start an era exist (Safari jumped 18 to 26)
};

std::span<const Family> families();

}  // namespace hvcore::profile_data
