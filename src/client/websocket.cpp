#include "client/websocket.h"

#include <utility>

#include "client/core_extensions.h"
#include "client/record_fields.h"
#include "client/websocket_callbacks.h"

namespace halvane {

Result<WebSocket> WebSocket::create(const Engine &engine, WebSocketConfig config) {
  // Made first, so that every failure below drops the Core's reference too.
  auto inner = std::make_shared<WebSocketInner>(
      WebSocketShared::create(config.max_message_size.value_or(MAX_BUFFERED_BYTES)));

  WebSocketCreateRecord record;
  if (Status built = build_websocket_record(config, callback_table(*inner->user_data), record);
      !built)
    return built.error();

  hv_handle handle = 0;
  int32_t code = HV_OK;
  if (config.max_message_size) {
    const auto create = core_extensions().websocket_create;
    if (create == nullptr) return Error::Kind::InvalidState;
    if (*config.max_message_size == 0) return Error::Kind::InvalidArgument;
    hv_ext_websocket_options options{};
    options.size = sizeof options;
    options.max_message_size = *config.max_message_size;
    code = create(engine.handle(), &record.record, &options, &handle);
  } else {
    code = hv_websocket_create(engine.handle(), &record.record, &handle);
  }
  if (auto err = Error::from_code(code)) return *err;
  if (handle == 0) return Error::Kind::InitializationFailed;
  inner->handle = WebSocketHandle(handle);
  return WebSocket(std::move(inner));
}

Result<WebSocketEvents> WebSocket::start() {
  if (Status started = inner_->start_once(hv_websocket_start); !started) return started.error();
  return WebSocketEvents(inner_->shared);
}

Status WebSocket::send(uint32_t type, const void *data, size_t len) {
  if (!fits_u32(len)) return Error::Kind::InvalidArgument;
  const auto *bytes = len == 0 ? nullptr : static_cast<const uint8_t *>(data);
  return check(hv_websocket_send(inner_->handle.get(), type, bytes, static_cast<uint32_t>(len)));
}

Status WebSocket::ping(std::span<const uint8_t> data) {
  const auto ping = core_extensions().websocket_ping;
  if (ping == nullptr) return Error::Kind::InvalidState;
  if (data.size() > kMaxPingPayload) return Error::Kind::InvalidArgument;
  const uint8_t *bytes = data.empty() ? nullptr : data.data();
  return check(ping(inner_->handle.get(), bytes, static_cast<uint32_t>(data.size())));
}

Status WebSocket::send_text(std::string_view text) {
  return send(HV_MESSAGE_TEXT, text.data(), text.size());
}

Status WebSocket::send_binary(std::span<const uint8_t> data) {
  return send(HV_MESSAGE_BINARY, data.data(), data.size());
}

Status WebSocket::close(uint16_t code, std::string_view reason) {
  if (!fits_u32(reason.size())) return Error::Kind::InvalidArgument;
  return check(hv_websocket_close(inner_->handle.get(), code,
                                  reinterpret_cast<const uint8_t *>(reason.data()),
                                  static_cast<uint32_t>(reason.size())));
}

Status WebSocket::cancel() { return check(hv_websocket_cancel(inner_->handle.get())); }

bool WebSocket::is_finished() const { return inner_->shared->is_finished(); }

void WebSocket::set_event_callback(EventCallbackPtr callback) {
  inner_->shared->set_event_callback(std::move(callback));
}

void WebSocket::clear_event_callback() { inner_->shared->clear_event_callback(); }

Result<WebSocket> Engine::websocket(WebSocketConfig config) const {
  return WebSocket::create(*this, std::move(config));
}

}  // namespace halvane
