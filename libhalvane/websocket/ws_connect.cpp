// Opening a WebSocket: name resolution, TCP, the tunnel through an HTTP
// proxy (itself over TLS for https proxies) or a SOCKS proxy, TLS to the
// server for wss, and the upgrade exchange. The WebSocket's timeout bounds
// all of it.
#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <chrono>

#include "base/http_text.h"
#include "engine/asio_loop.h"
#include "namespaces/cookie_lines.h"
#include "profiles/profiles.h"
#include "tls/ws_tls.h"
#include "websocket/proxy_connect.h"
#include "websocket/ws_connection.h"

namespace hvcore {
namespace {

namespace http = beast::http;
namespace websocket = beast::websocket;

// A year: longer than anything waits in practice, and far from where the
// clock's nanosecond count would overflow.
constexpr uint64_t kMaxTimeoutMs = 365ull * 24 * 3600 * 1000;

// The handshake headers that Beast writes itself; a caller's copy would
// contradict them.
bool is_managed_header(std::string_view name) {
  return iequals(name, "upgrade") || iequals(name, "connection") ||
         iequals(name, "sec-websocket-key") || iequals(name, "sec-websocket-version") ||
         iequals(name, "sec-websocket-extensions");
}

// Only permessage-deflate is offered, so only it may come back, once.
bool only_offered_extensions(std::string_view extensions) {
  int deflate = 0;
  bool others = false;
  each_member(extensions, [&](std::string_view item) {
    const std::string_view name = trim(item.substr(0, item.find(';')));
    if (name.empty()) return;
    if (iequals(name, "permessage-deflate"))
      ++deflate;
    else
      others = true;
  });
  return !others && deflate <= 1;
}

// Rewrites the handshake's fields in the order, and with the defaults, of
// the profile's browser; the values already set stay.
void write_in_profile_order(const BrowserProfile &profile, websocket::request_type &request) {
  std::vector<HeaderField> fields;
  for (const auto &f : request)
    fields.push_back({std::string(f.name_string()), std::string(f.value())});
  fields = compose_websocket_headers(profile, fields);
  request.clear();
  for (const HeaderField &f : fields) request.insert(f.name, f.value);
}

}  // namespace

void WsConnection::start() {
  if (const uint64_t ms = session_.settings().timeout_ms; ms > 0) {
    deadline_.expires_after(std::chrono::milliseconds(std::min(ms, kMaxTimeoutMs)));
    deadline_.async_wait(handler([this](const ErrorCode &ec) {
      if (ec || ended_ || open_) return;
      fail(timeout_failure());
    }));
  }
  if (!session_.engine().proxy.empty() && !proxy_)
    return fail({{kProxy, net::kProxyConnectionFailed}, 0, "The proxy address does not parse"});
  resolve();
}

asio::ssl::context *WsConnection::tls_context() {
  return session_.loop().tls_context(session_.engine());
}

void WsConnection::resolve() {
  const WebSocketTarget &target = session_.settings().target;
  const std::string &host = via_proxy() ? proxy_->host : target.host;
  const uint16_t port = via_proxy() ? proxy_->port : target.port;
  resolver_.async_resolve(
      host, std::to_string(port), tcp::resolver::numeric_service,
      handler([this](const ErrorCode &ec, const tcp::resolver::results_type &results) {
        on_resolved(ec, results);
      }));
}

void WsConnection::on_resolved(const ErrorCode &ec, const tcp::resolver::results_type &results) {
  if (ended_) return;
  if (ec) return fail(resolve_failure(ec, via_proxy()));
  asio::async_connect(
      ws_.next_layer().hop().socket(), results,
      handler([this](const ErrorCode &ec, const tcp::endpoint &) { on_connected(ec); }));
}

void WsConnection::on_connected(const ErrorCode &ec) {
  if (ended_) return;
  if (ec) return fail(connect_failure(ec, via_proxy()));
  ErrorCode ignored;
  // Small messages go out at once rather than waiting for more.
  ws_.next_layer().hop().socket().set_option(tcp::no_delay(true), ignored);
  if (!via_proxy()) return after_tunnel();
  if (socks_proxy()) return start_socks();
  if (proxy_->scheme == "https") return start_proxy_tls();
  send_connect();
}

void WsConnection::start_proxy_tls() {
  asio::ssl::context *context = tls_context();
  if (context == nullptr) return fail(out_of_memory_failure());
  auto &tls = ws_.next_layer().hop().start_tls(*context);
  if (!prepare_tls_connection(tls.native_handle(), proxy_->host))
    return fail({{kProxy, net::kProxyConnectionFailed}, 0, "Unusable proxy host name for TLS"});
  tls.async_handshake(asio::ssl::stream_base::client, handler([this, &tls](const ErrorCode &ec) {
                        if (ended_) return;
                        if (ec) return fail(tls_failure(ec, tls.native_handle()));
                        send_connect();
                      }));
}

std::pair<std::string, std::string> WsConnection::proxy_credentials() const {
  // The engine's credentials, else those written into the proxy URL.
  const EngineSettings &engine = session_.engine();
  if (!engine.proxy_username.empty() || !engine.proxy_password.empty())
    return {engine.proxy_username, engine.proxy_password};
  return {proxy_->username, proxy_->password};
}

void WsConnection::send_connect() {
  const WebSocketTarget &target = session_.settings().target;
  const auto [user, password] = proxy_credentials();
  connect_request_ =
      connect_request(target.host, target.port, user, password, session_.engine().user_agent);
  asio::async_write(ws_.next_layer().hop(), asio::buffer(connect_request_),
                    handler([this](const ErrorCode &ec, size_t) {
                      if (ended_) return;
                      if (ec) return fail(tunnel_failure(ec, 0));
                      proxy_reply_.emplace();
                      proxy_reply_->skip(true);  // a successful answer to CONNECT has no body
                      http::async_read_header(
                          ws_.next_layer().hop(), proxy_buffer_, *proxy_reply_,
                          handler([this](const ErrorCode &ec, size_t) { on_connect_reply(ec); }));
                    }));
}

void WsConnection::on_connect_reply(const ErrorCode &ec) {
  if (ended_) return;
  if (ec) return fail(tunnel_failure(ec, 0));
  const int status = proxy_reply_->get().result_int();
  if (status < 200 || status > 299) return fail(tunnel_failure(ec, status));
  // Until the first bytes go through the tunnel the server has nothing to
  // say; anything here came from the proxy.
  if (proxy_buffer_.size() != 0)
    return fail(
        {{kProxy, net::kTunnelConnectionFailed}, 0, "The proxy sent data after its answer"});
  proxy_reply_.reset();
  proxy_buffer_ = beast::flat_buffer();
  connect_request_ = std::string();
  after_tunnel();
}

bool WsConnection::socks_proxy() const {
  return via_proxy() && (proxy_->scheme == "socks5" || proxy_->scheme == "socks5h");
}

void WsConnection::after_tunnel() {
  if (session_.settings().target.secure) return start_server_tls();
  upgrade();
}

void WsConnection::start_server_tls() {
  asio::ssl::context *context = tls_context();
  if (context == nullptr) return fail(out_of_memory_failure());
  auto &tls = ws_.next_layer().start_tls(*context);
  if (!prepare_tls_connection(tls.native_handle(), session_.settings().target.host))
    return fail({{kTls, net::kSslProtocolError}, 0, "Unusable host name for TLS"});
  tls.async_handshake(asio::ssl::stream_base::client, handler([this, &tls](const ErrorCode &ec) {
                        if (ended_) return;
                        if (ec) return fail(tls_failure(ec, tls.native_handle()));
                        upgrade();
                      }));
}

void WsConnection::decorate(websocket::request_type &request) const {
  const WebSocketSettings &settings = session_.settings();
  const EngineSettings &engine = session_.engine();
  request.erase(http::field::user_agent);  // Beast's own
  bool has_user_agent = false, has_accept_language = false;
  for (const HeaderField &h : settings.headers) {
    if (is_managed_header(h.name)) continue;
    if (iequals(h.name, "host")) {
      request.set(http::field::host, h.value);
      continue;
    }
    if (iequals(h.name, "origin") && !settings.origin.empty()) continue;  // the origin wins
    has_user_agent = has_user_agent || iequals(h.name, "user-agent");
    has_accept_language = has_accept_language || iequals(h.name, "accept-language");
    request.insert(h.name, h.value);
  }
  if (!has_user_agent && !engine.user_agent.empty())
    request.set(http::field::user_agent, engine.user_agent);
  if (!has_accept_language && !engine.accept_language.empty())
    request.set(http::field::accept_language, engine.accept_language);
  if (!settings.origin.empty()) request.set(http::field::origin, settings.origin);
  if (!cookies_.empty()) {
    // One Cookie line: the jar's cookies the caller does not name, then the
    // caller's own, from every Cookie field it gave.
    std::string given;
    for (const auto &field : request) {
      if (field.name() != http::field::cookie) continue;
      if (!given.empty()) given += "; ";
      given += std::string_view(field.value().data(), field.value().size());
    }
    request.set(http::field::cookie, merge_cookie_fields(cookies_, given));
  }
  if (!settings.protocols.empty()) {
    std::string list;
    for (const std::string &p : settings.protocols) {
      if (!list.empty()) list += ", ";
      list += p;
    }
    request.set(http::field::sec_websocket_protocol, list);
  }
  if (engine.profile != nullptr) write_in_profile_order(*engine.profile, request);
}

void WsConnection::upgrade() {
  ws_.set_option(websocket::stream_base::decorator(
      [this](websocket::request_type &request) { decorate(request); }));
  websocket::permessage_deflate deflate;
  deflate.client_enable = true;
  // zlib's own defaults. Beast's smaller memory level ends a deflate block
  // every thousand symbols, which costs more time than it saves memory.
  deflate.compLevel = 6;
  deflate.memLevel = 8;
  ws_.set_option(deflate);
  const WebSocketTarget &target = session_.settings().target;
  cookies_ = session_.context().cookie_header(target.url);
  ws_.async_handshake(response_, target.host_header, target.resource,
                      handler([this](const ErrorCode &ec) { on_upgraded(ec); }));
}

void WsConnection::on_upgraded(const ErrorCode &ec) {
  if (ended_) return;
  // Cookies a handshake response sets join the engine's jar, whatever its
  // status, as a browser keeps them.
  std::vector<std::string> set_cookies;
  for (const auto &field : response_)
    if (field.name() == http::field::set_cookie) set_cookies.emplace_back(field.value());
  session_.context().store_cookies(session_.settings().target.url, set_cookies);
  if (ec) return fail(upgrade_failure(ec, response_.result_int()));
  const std::string protocol(response_[http::field::sec_websocket_protocol]);
  const std::string extensions(response_[http::field::sec_websocket_extensions]);
  const auto &offered = session_.settings().protocols;
  if (!protocol.empty() && std::find(offered.begin(), offered.end(), protocol) == offered.end())
    return fail(handshake_mismatch("The server chose a sub-protocol that was not offered"));
  if (!only_offered_extensions(extensions))
    return fail(handshake_mismatch("The server chose an extension that was not offered"));
  response_ = websocket::response_type();
  opened(protocol, extensions);
}

}  // namespace hvcore
