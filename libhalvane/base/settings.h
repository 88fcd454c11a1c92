// What the Core keeps from the engine, request and WebSocket records once
// they are checked: owned copies, nothing that points into the caller's
// memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halvane/hv_abi.h"

namespace hvcore {

struct BrowserProfile;
class CaStore;

using hv::BodyKind;
using hv::CacheMode;
using hv::HttpVersion;
using hv::Priority;
using hv::RedirectMode;
using hv::TlsVerification;

struct EngineSettings {
  std::string user_agent;
  std::string accept_language;
  std::string proxy;
  std::string proxy_username;
  std::string proxy_password;
  std::string profile_namespace;
  bool disable_cache = false;
  HttpVersion http_version = HttpVersion::Auto;
  TlsVerification tls = TlsVerification::Default;
  std::shared_ptr<const CaStore> ca;  // set for CustomCa only
  // The browser impersonated, resolved once from the engine record; one of
  // the Core's static profiles, which never change. Null: none.
  const BrowserProfile *profile = nullptr;
};

struct HeaderField {
  std::string name;
  std::string value;
};

struct RequestSettings {
  std::string url;  // normalised, http or https
  std::string method;
  std::vector<HeaderField> headers;
  uint64_t timeout_ms = 0;  // 0: none
  BodyKind body_kind = BodyKind::None;
  std::vector<uint8_t> body;  // Bytes only
  CacheMode cache_mode = CacheMode::Default;
  RedirectMode redirect_mode = RedirectMode::Follow;
  Priority priority = Priority::Default;
  uint64_t connect_timeout_ms = 0;  // establishing the connection; 0: no bound of its own
  // A streamed body whose headers declare its Content-Length goes out sized.
  std::optional<uint64_t> upload_length;
};

struct Callbacks {
  void *user = nullptr;
  hv_on_response_fn on_response = nullptr;
  hv_on_body_fn on_body = nullptr;
  hv_on_complete_fn on_complete = nullptr;
  hv_on_redirect_fn on_redirect = nullptr;
};

// Where a WebSocket URL points, taken apart for the connection.
struct WebSocketTarget {
  std::string url;  // normalised, ws or wss
  bool secure = false;
  std::string host;  // name or address, IPv6 without brackets
  uint16_t port = 0;
  std::string host_header;  // Host value: the port only when not the default
  std::string resource;     // path and query, never empty
};

struct WebSocketSettings {
  WebSocketTarget target;
  std::string origin;                  // empty: none
  std::vector<std::string> protocols;  // requested sub-protocols, in order
  std::vector<HeaderField> headers;
  uint64_t timeout_ms = 0;        // bounds the opening handshake; 0: none
  uint64_t max_message_size = 0;  // one message's bytes; 0: the default
};

struct WebSocketCallbacks {
  void *user = nullptr;
  hv_ws_on_open_fn on_open = nullptr;
  hv_ws_on_message_fn on_message = nullptr;
  hv_ws_on_closing_fn on_closing = nullptr;
  hv_ws_on_closed_fn on_closed = nullptr;
  hv_ws_on_failure_fn on_failure = nullptr;
};

}  // namespace hvcore
