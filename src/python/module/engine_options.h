// PyEngine's constructor options and their translation into an EngineConfig.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/engine.h"

namespace strandel {

// The eleven constructor arguments after conversion, defaults filled in.
struct EngineOptions {
  std::optional<std::string> impersonate;
  std::optional<std::string> proxy;
  bool verify = true;
  std::optional<std::vector<uint8_t>> ca_pem;
  std::optional<std::string> user_agent;
  std::optional<std::string> accept_language;
  std::optional<std::string> proxy_username;
  std::optional<std::string> proxy_password;
  std::optional<std::string> http_version;
  bool cache = true;
  std::optional<std::string> profile_namespace;
};

// "chrome120" and "chrome_120" become "chrome_120"; anything else is kept.
std::string normalize_impersonate(std::string name);

// Builds the engine configuration; an unknown http_version raises
// RuntimeError 'unknown http version "<text>"' and gives nothing.
std::optional<halvane::EngineConfig> engine_config(EngineOptions options);

}  // namespace strandel
