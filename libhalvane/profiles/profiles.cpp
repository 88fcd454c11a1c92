#include "profiles/profiles.h"

#include <algorithm>
#include <array>
#include <map>

#include "base/header_block.h"
#include "profiles/profile_tables.h"

namespace hvcore {
namespace {

using profile_data::Era;
using profile_data::Family;

// Chromium's GREASE for the brand list of sec-ch-ua: the major version seeds
// an odd brand name, its version and the order of the three entries.
std::string client_hint_brands(std::string_view brand, int major) {
  static constexpr char kGreaseChars[] = {' ', '(', ':', '-', '.', '/', ')', ';', '=', '?', '_'};
  static constexpr std::string_view kGreaseVersions[] = {"8", "99", "24"};
  static constexpr std::array<int, 3> kOrders[] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                                   {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  const auto seed = static_cast<size_t>(major);
  const std::string version = std::to_string(major);
  std::string grease = "Not";
  grease += kGreaseChars[seed % std::size(kGreaseChars)];
  grease += 'A';
  grease += kGreaseChars[(seed + 1) % std::size(kGreaseChars)];
  grease += "Brand";
  const std::array<std::string, 3> entries = {
      '"' + grease + "\";v=\"" + std::string(kGreaseVersions[seed % 3]) + '"',
      "\"Chromium\";v=\"" + version + '"',
      '"' + std::string(brand) + "\";v=\"" + version + '"',
  };
  std::array<std::string, 3> ordered;
  const auto &order = kOrders[seed % 6];
  for (size_t i = 0; i < 3; ++i) ordered[order[i]] = entries[i];
  return ordered[0] + ", " + ordered[1] + ", " + ordered[2];
}

bool starts_era(const Family &family, int major) {
  return std::any_of(family.eras.begin(), family.eras.end(),
                     [&](const Era &e) { return e.first == major; });
}

// An era with every member filled from the eras before it.
Era resolved_era(const Family &family, int major) {
  Era era{};
  for (const Era &e : family.eras) {
    if (e.first > major) break;
    era.first = e.first;
    if (!e.navigation.empty()) era.navigation = e.navigation;
    if (!e.websocket.empty()) era.websocket = e.websocket;
    if (!e.accept.empty()) era.accept = e.accept;
    if (!e.encoding.empty()) era.encoding = e.encoding;
    if (!e.version.empty()) {  // a new version states its system version too
      era.version = e.version;
      era.os = e.os;
    }
    if (!e.language.empty()) era.language = e.language;
    if (e.tls != nullptr) era.tls = e.tls;
    if (!e.http2.empty()) era.http2 = e.http2;
  }
  return era;
}

void replace_all(std::string &text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

BrowserProfile make_profile(const Family &family, int major) {
  const Era era = resolved_era(family, major);
  std::string version_underscored(era.version);
  replace_all(version_underscored, ".", "_");
  std::string ua(family.user_agent);
  replace_all(ua, "{major}", std::to_string(major));
  replace_all(ua, "{os_}", era.os.empty() ? std::string_view(version_underscored) : era.os);
  replace_all(ua, "{version_}", version_underscored);
  replace_all(ua, "{version}", era.version);
  const std::string brands =
      family.brand.empty() ? std::string() : client_hint_brands(family.brand, major);

  auto expand = [&](std::span<const profile_data::Header> headers) {
    std::vector<ProfileHeader> out;
    out.reserve(headers.size());
    for (const auto &h : headers) {
      if (h.since > major) continue;
      std::string value(h.value);
      replace_all(value, "{ua}", ua);
      replace_all(value, "{brands}", brands);
      replace_all(value, "{accept}", era.accept);
      replace_all(value, "{encoding}", era.encoding);
      replace_all(value, "{language}", era.language.empty() ? family.language : era.language);
      out.push_back({std::string(h.name), std::move(value), h.only});
    }
    return out;
  };

  BrowserProfile p;
  p.name = std::string(family.name) + '_' + std::to_string(major);
  p.navigation = expand(era.navigation);
  p.websocket = expand(era.websocket);
  p.http2 = std::string(era.http2);
  const profile_data::Tls &t = *era.tls;
  p.tls = {.ciphers = std::string(t.ciphers),
           .tls13_ciphers = std::string(t.tls13_ciphers),
           .groups = std::string(t.groups),
           .sigalgs = std::string(t.sigalgs),
           .status_request = t.status_request,
           .sct = t.sct,
           .session_ticket = t.session_ticket,
           .padding = t.padding,
           .grease = t.grease,
           .permute_extensions = t.permute_extensions,
           .alps = t.alps,
           .ech_grease = t.ech_grease,
           .cert_compression = std::string(t.cert_compression),
           .alps_new_codepoint = t.alps_new_codepoint,
           .key_shares = t.key_shares,
           .delegated_credentials = std::string(t.delegated_credentials),
           .record_size_limit = t.record_size_limit,
           .trust_anchors = std::string(t.trust_anchors)};
  return p;
}

// Every accepted name, canonical ones and the bare family names alike,
// mapped to its profile.
struct Registry {
  std::map<std::string, BrowserProfile, std::less<>> profiles;  // by canonical name
  std::map<std::string, const BrowserProfile *, std::less<>> accepted;
  std::vector<std::string> names;

  Registry() {
    std::vector<std::string> bare;
    for (const Family &family : profile_data::families()) {
      const BrowserProfile *newest = nullptr;
      for (int major = family.first; major <= family.last; ++major) {
        if (family.era_majors_only && !starts_era(family, major)) continue;
        BrowserProfile p = make_profile(family, major);
        std::string name = p.name;
        newest = &profiles.emplace(name, std::move(p)).first->second;
        accepted.emplace(name, newest);
        names.push_back(std::move(name));
      }
      accepted.emplace(std::string(family.name), newest);
      bare.emplace_back(family.name);
    }
    std::sort(bare.begin(), bare.end());
    names.insert(names.end(), bare.begin(), bare.end());
  }
};

const Registry &registry() {
  static const Registry instance;
  return instance;
}

bool matches(SentOn only, bool http2) {
  return only == SentOn::Any || (only == SentOn::Http2) == http2;
}

}  // namespace

const BrowserProfile *find_profile(std::string_view name) {
  const Registry &r = registry();
  auto it = r.accepted.find(name);
  return it == r.accepted.end() ? nullptr : it->second;
}

std::vector<std::string> profile_names() { return registry().names; }

std::vector<HeaderField> compose_request_headers(const BrowserProfile &profile,
                                                 const EngineSettings &engine,
                                                 const std::vector<HeaderField> &caller,
                                                 bool http2) {
  std::vector<HeaderField> out;
  out.reserve(profile.navigation.size() + caller.size());
  std::vector<bool> placed(caller.size(), false);
  for (const ProfileHeader &h : profile.navigation) {
    if (!matches(h.only, http2)) continue;
    bool replaced = false;
    for (size_t i = 0; i < caller.size(); ++i) {
      if (placed[i] || !iequals(caller[i].name, h.name)) continue;
      out.push_back(caller[i]);
      placed[i] = replaced = true;
    }
    if (replaced) continue;
    if (iequals(h.name, "user-agent") && !engine.user_agent.empty())
      out.push_back({h.name, engine.user_agent});
    else if (iequals(h.name, "accept-language") && !engine.accept_language.empty())
      out.push_back({h.name, engine.accept_language});
    else
      out.push_back({h.name, h.value});
  }
  for (size_t i = 0; i < caller.size(); ++i)
    if (!placed[i]) out.push_back(caller[i]);
  return out;
}

std::vector<HeaderField> compose_websocket_headers(const BrowserProfile &profile,
                                                   const std::vector<HeaderField> &handshake) {
  std::vector<HeaderField> out;
  out.reserve(profile.websocket.size() + handshake.size());
  std::vector<bool> placed(handshake.size(), false);
  for (const ProfileHeader &h : profile.websocket) {
    const bool spelled_here = iequals(h.name, "connection");
    bool present = false;
    for (size_t i = 0; i < handshake.size(); ++i) {
      if (placed[i] || !iequals(handshake[i].name, h.name)) continue;
      placed[i] = present = true;
      if (!spelled_here) out.push_back(handshake[i]);
    }
    if (spelled_here || (!present && !h.value.empty())) out.push_back({h.name, h.value});
  }
  for (size_t i = 0; i < handshake.size(); ++i)
    if (!placed[i]) out.push_back(handshake[i]);
  return out;
}

}  // namespace hvcore
