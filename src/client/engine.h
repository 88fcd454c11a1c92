// The engine: owner of one Core engine handle, factory of requests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/core_handle.h"
#include "client/result.h"
#include "halvane/hv_abi.h"

namespace halvane {

class Request;
struct RequestConfig;
class WebSocket;
struct WebSocketConfig;

using hv::HttpVersion;
using hv::TlsVerification;

struct EngineConfig {
  std::optional<std::string> impersonate;
  std::optional<std::string> profile_namespace;
  std::optional<std::string> user_agent;
  std::optional<std::string> accept_language;
  std::optional<std::string> proxy;
  std::optional<std::string> proxy_username;
  std::optional<std::string> proxy_password;
  std::optional<std::vector<uint8_t>> ca_pem;
  bool disable_cache = false;
  TlsVerification tls_verification = TlsVerification::Default;
  HttpVersion http_version = HttpVersion::Auto;
};

// Owns the Core engine handle; releases it exactly once.
class EngineInner {
 public:
  explicit EngineInner(hv_handle handle) : handle_(handle) {}

  hv_handle handle() const { return handle_.get(); }

 private:
  EngineHandle handle_;
};

class Engine {
 public:
  // Checks the Core's ABI number, then creates a Core engine from `config`.
  static Result<Engine> create(EngineConfig config);

  // The ABI number this layer speaks; the Core must report the same.
  static constexpr uint32_t abi_version() { return HV_ABI_VERSION; }

  // The Core's version text, or nothing when the Core has none.
  static std::optional<std::string> core_version();

  // Creates a request on this engine (not started).
  Result<Request> request(RequestConfig config) const;

  // Creates a WebSocket on this engine (not started).
  Result<WebSocket> websocket(WebSocketConfig config) const;

  hv_handle handle() const { return inner_->handle(); }

 private:
  explicit Engine(std::shared_ptr<EngineInner> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<EngineInner> inner_;
};

}  // namespace halvane
