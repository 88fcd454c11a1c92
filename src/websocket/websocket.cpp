#include "websocket/websocket.h"

#include <cstring>
#include <utility>

#include "websocket/websocket_callbacks.h"

namespace halvane {

namespace {

constexpr uint32_t kText = 1;
constexpr uint32_t kBinary = 2;

bool fits_u32(size_t n) { return std::in_range<uint32_t>(n); }

const uint8_t *bytes_of(const std::string &text) {
  return reinterpret_cast<const uint8_t *>(text.data());
}

bool config_fits(const WebSocketConfig &config) {
  if (!fits_u32(config.url.size()) || !fits_u32(config.origin.size()) ||
      config.protocols.size() > kMaxProtocols || !fits_u32(config.headers.size()))
    return false;
  for (const std::string &protocol : config.protocols)
    if (!fits_u32(protocol.size())) return false;
  for (const Header &header : config.headers)
    if (!fits_u32(header.name.size()) || !fits_u32(header.value.size())) return false;
  return true;
}

}  // namespace

WebSocketInner::~WebSocketInner() {
  if (handle != 0) hv_websocket_release(handle);
  if (!started.load(std::memory_order_acquire)) WebSocketShared::release_core_reference(user_data);
}

Result<WebSocket> WebSocket::create(const Engine &engine, WebSocketConfig config) {
  return create(engine.handle(), std::move(config));
}

Result<WebSocket> WebSocket::create(hv_handle engine, WebSocketConfig config) {
  if (!config_fits(config)) return Error::Kind::InvalidArgument;

  // Made before the Core call, so that every failure below frees the shared
  // state (the Core's ownership included) by letting `inner` go.
  auto inner = std::make_shared<WebSocketInner>(WebSocketShared::create());

  std::vector<hv_protocol> protocols;
  protocols.reserve(config.protocols.size());
  for (const std::string &protocol : config.protocols)
    protocols.push_back({bytes_of(protocol), static_cast<uint32_t>(protocol.size())});

  std::vector<hv_header> headers;
  headers.reserve(config.headers.size());
  for (const Header &header : config.headers)
    headers.push_back({bytes_of(header.name), static_cast<uint32_t>(header.name.size()),
                       bytes_of(header.value), static_cast<uint32_t>(header.value.size())});

  hv_websocket_record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  record.url = bytes_of(config.url);
  record.url_len = static_cast<uint32_t>(config.url.size());
  if (!config.origin.empty()) {
    record.origin = bytes_of(config.origin);
    record.origin_len = static_cast<uint32_t>(config.origin.size());
  }
  if (!protocols.empty()) {
    record.protocols = protocols.data();
    record.protocol_count = static_cast<uint32_t>(protocols.size());
  }
  if (!headers.empty()) {
    record.headers = headers.data();
    record.header_count = static_cast<uint32_t>(headers.size());
  }
  record.callbacks = websocket_callback_table(inner->user_data);
  record.timeout_ms = config.timeout ? config.timeout->whole_millis() : 0;

  hv_handle handle = 0;
  const int32_t code = hv_websocket_create(engine, &record, &handle);
  if (auto err = Error::from_code(code)) return *err;
  if (handle == 0) return Error::Kind::InitializationFailed;
  inner->handle = handle;
  return WebSocket(std::move(inner));
}

Result<WebSocketEvents> WebSocket::start() {
  bool expected = false;
  if (!inner_->started.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
    return Error::Kind::InvalidState;
  if (auto err = Error::from_code(hv_websocket_start(inner_->handle))) {
    inner_->started.store(false, std::memory_order_release);
    return *err;
  }
  return WebSocketEvents(inner_->shared);
}

Status WebSocket::send(uint32_t type, const void *data, size_t len) {
  if (!fits_u32(len)) return Error::Kind::InvalidArgument;
  const auto *bytes = len == 0 ? nullptr : static_cast<const uint8_t *>(data);
  return check(hv_websocket_send(inner_->handle, type, bytes, static_cast<uint32_t>(len)));
}

Status WebSocket::send_text(std::string_view text) { return send(kText, text.data(), text.size()); }

Status WebSocket::send_binary(std::span<const uint8_t> data) {
  return send(kBinary, data.data(), data.size());
}

Status WebSocket::close(uint16_t code, std::string_view reason) {
  if (!fits_u32(reason.size())) return Error::Kind::InvalidArgument;
  return check(hv_websocket_close(inner_->handle, code,
                                  reinterpret_cast<const uint8_t *>(reason.data()),
                                  static_cast<uint32_t>(reason.size())));
}

Status WebSocket::cancel() { return check(hv_websocket_cancel(inner_->handle)); }

bool WebSocket::is_finished() const { return inner_->shared->is_finished(); }

void WebSocket::set_event_callback(EventCallbackPtr callback) {
  inner_->shared->set_event_callback(std::move(callback));
}

void WebSocket::clear_event_callback() { inner_->shared->clear_event_callback(); }

Result<WebSocket> Engine::websocket(WebSocketConfig config) const {
  return WebSocket::create(*this, std::move(config));
}

Result<WebSocket> EngineInner::websocket(WebSocketConfig config) const {
  return WebSocket::create(handle_, std::move(config));
}

}  // namespace halvane
