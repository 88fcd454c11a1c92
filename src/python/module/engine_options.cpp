#include "python/module/engine_options.h"

#include <algorithm>
#include <string_view>

#include "python/module/convert.h"
#include "python/module/errors.h"

namespace strandel {
namespace {

struct HttpVersionName {
  std::string_view name;
  halvane::HttpVersion version;
};

constexpr HttpVersionName kHttpVersions[] = {
    {"auto", halvane::HttpVersion::Auto},      {"native", halvane::HttpVersion::Auto},
    {"h1", halvane::HttpVersion::Http1},       {"v1", halvane::HttpVersion::Http1},
    {"http/1.1", halvane::HttpVersion::Http1}, {"h2", halvane::HttpVersion::Http2},
    {"v2", halvane::HttpVersion::Http2},       {"http/2", halvane::HttpVersion::Http2},
    {"h3", halvane::HttpVersion::Http3},       {"v3", halvane::HttpVersion::Http3},
    {"http/3", halvane::HttpVersion::Http3},
};

std::optional<halvane::HttpVersion> parse_http_version(std::string_view text) {
  for (const auto &entry : kHttpVersions)
    if (entry.name == text) return entry.version;
  return std::nullopt;
}

}  // namespace

std::string normalize_impersonate(std::string name) {
  constexpr std::string_view kPrefix = "chrome";
  if (!std::string_view(name).starts_with(kPrefix)) return name;
  std::string_view rest = std::string_view(name).substr(kPrefix.size());
  if (rest.starts_with('_')) rest.remove_prefix(1);
  // Bytes outside ASCII are never digits, so checking bytes checks characters.
  const bool digits_only = !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
  if (!digits_only) return name;
  return "chrome_" + std::string(rest);
}

std::optional<halvane::EngineConfig> engine_config(EngineOptions options) {
  halvane::EngineConfig config;
  if (options.http_version) {
    auto version = parse_http_version(*options.http_version);
    if (!version) {
      raise_message("unknown http version " + quoted(*options.http_version));
      return std::nullopt;
    }
    config.http_version = *version;
  }
  if (!options.verify)
    config.tls_verification = halvane::TlsVerification::Disabled;
  else if (options.ca_pem)
    config.tls_verification = halvane::TlsVerification::CustomCa;
  if (options.impersonate)
    config.impersonate = normalize_impersonate(std::move(*options.impersonate));
  config.disable_cache = !options.cache;
  config.profile_namespace = std::move(options.profile_namespace);
  config.user_agent = std::move(options.user_agent);
  config.accept_language = std::move(options.accept_language);
  config.proxy = std::move(options.proxy);
  config.proxy_username = std::move(options.proxy_username);
  config.proxy_password = std::move(options.proxy_password);
  config.ca_pem = std::move(options.ca_pem);
  return config;
}

}  // namespace strandel
