// Each handler copies what the Core gave it into an event and admits it
// through the callback guard: a failure of the handler's work, the event
// callback included, ends the stream with CallbackPanic.
#include "client/websocket_callbacks.h"

#include "client/callback_guard.h"
#include "client/websocket_text.h"

namespace halvane {

namespace {

using websocket_internal::copy_bytes;
using websocket_internal::copy_string;

WebSocketShared &shared_of(void *user) { return *static_cast<WebSocketShared *>(user); }

// Admits the event `make` builds; building inside the guard keeps a failed
// copy from reaching the Core.
template <typename Make>
void admit(void *user, Make &&make) noexcept {
  guard_callback(shared_of(user),
                 [&](WebSocketState &state) { return state.admit(make(), false); });
}

// The same for the Core's terminal callbacks, after which none follows.
template <typename Make>
void admit_final(void *user, Make &&make) noexcept {
  guard_final_callback(shared_of(user),
                       [&](WebSocketState &state) { return state.admit(make(), true); });
}

void on_open(void *user, hv_handle, const uint8_t *protocol, uint32_t protocol_len,
             const uint8_t *extensions, uint32_t extensions_len) noexcept {
  admit(user, [&] {
    return WebSocketEvent{WebSocketEvent::Open{copy_string(protocol, protocol_len),
                                               copy_string(extensions, extensions_len)}};
  });
}

void on_message(void *user, hv_handle, int32_t type, int32_t fin, const uint8_t *data,
                uint32_t len) noexcept {
  admit(user, [&] {
    return WebSocketEvent{
        WebSocketEvent::Message{copy_bytes(data, len), message_kind(type), fin != 0}};
  });
}

void on_closing(void *user, hv_handle) noexcept {
  admit(user, [] { return WebSocketEvent{WebSocketEvent::Closing{}}; });
}

void on_closed(void *user, hv_handle, int32_t clean, uint32_t code, const uint8_t *reason,
               uint32_t reason_len) noexcept {
  admit_final(user, [&] {
    return WebSocketEvent{WebSocketEvent::Closed{static_cast<uint16_t>(code & 0xFFFFu),
                                                 copy_string(reason, reason_len), clean != 0}};
  });
}

// A failure callback is a failure whatever its code: 0, which would read as
// success under the result-code rule, is kept as Native(0).
Error failure_error(int32_t code) {
  if (code == HV_OK) return Error::native(HV_OK);
  return *Error::from_code(code);
}

void on_failure(void *user, hv_handle, int32_t code, int32_t net_error, int32_t response_code,
                const uint8_t *message, uint32_t message_len) noexcept {
  admit_final(user, [&] {
    return WebSocketEvent{WebSocketFailure{failure_error(code), copy_string(message, message_len),
                                           net_error, response_code}};
  });
}

}  // namespace

hv_websocket_callbacks callback_table(WebSocketShared &shared) {
  hv_websocket_callbacks table{};
  table.size = sizeof table;
  table.abi = HV_ABI_VERSION;
  table.user_data = &shared;
  table.on_open = on_open;
  table.on_message = on_message;
  table.on_closing = on_closing;
  table.on_closed = on_closed;
  table.on_failure = on_failure;
  return table;
}

}  // namespace halvane
