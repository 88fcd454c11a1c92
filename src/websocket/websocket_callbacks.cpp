// Each handler copies what the Core gave it into an event and admits it.
// Nothing thrown here may unwind into the Core: a failure of the handler's
// work, the event callback included, ends the stream with CallbackPanic.
#include "websocket/websocket_callbacks.h"

#include "websocket/websocket_text.h"

namespace halvane {

namespace {

using websocket_internal::copy_bytes;
using websocket_internal::copy_string;

WebSocketShared *shared_of(void *user) { return static_cast<WebSocketShared *>(user); }

template <typename Work>
void guarded(WebSocketShared *shared, Work &&work) noexcept {
  try {
    work();
    return;
  } catch (...) {
  }
  shared->callback_panicked();
}

// After the Core's terminal callback no other callback follows, so its
// ownership of the shared state ends here, whatever the handler's work did.
class CoreReleaseOnExit {
 public:
  explicit CoreReleaseOnExit(WebSocketShared *shared) : shared_(shared) {}
  ~CoreReleaseOnExit() { WebSocketShared::release_core_reference(shared_); }
  CoreReleaseOnExit(const CoreReleaseOnExit &) = delete;
  CoreReleaseOnExit &operator=(const CoreReleaseOnExit &) = delete;

 private:
  WebSocketShared *shared_;
};

void on_open(void *user, hv_handle, const uint8_t *protocol, uint32_t protocol_len,
             const uint8_t *extensions, uint32_t extensions_len) noexcept {
  WebSocketShared *shared = shared_of(user);
  guarded(shared, [&] {
    shared->push(WebSocketEvent{WebSocketEvent::Open{copy_string(protocol, protocol_len),
                                                     copy_string(extensions, extensions_len)}},
                 false);
  });
}

void on_message(void *user, hv_handle, int32_t type, int32_t fin, const uint8_t *data,
                uint32_t len) noexcept {
  WebSocketShared *shared = shared_of(user);
  guarded(shared, [&] {
    shared->push(WebSocketEvent{WebSocketEvent::Message{copy_bytes(data, len), message_kind(type),
                                                        fin != 0}},
                 false);
  });
}

void on_closing(void *user, hv_handle) noexcept {
  WebSocketShared *shared = shared_of(user);
  guarded(shared, [&] { shared->push(WebSocketEvent{WebSocketEvent::Closing{}}, false); });
}

void on_closed(void *user, hv_handle, int32_t clean, uint32_t code, const uint8_t *reason,
               uint32_t reason_len) noexcept {
  WebSocketShared *shared = shared_of(user);
  const CoreReleaseOnExit release(shared);
  guarded(shared, [&] {
    shared->push(
        WebSocketEvent{WebSocketEvent::Closed{static_cast<uint16_t>(code & 0xFFFFu),
                                              copy_string(reason, reason_len), clean != 0}},
        true);
  });
}

// A failure callback is a failure whatever its code: 0, which would read as
// success under the result-code rule, is kept as Native(0).
Error failure_error(int32_t code) {
  if (code == 0) return Error::native(0);
  return *Error::from_code(code);
}

void on_failure(void *user, hv_handle, int32_t code, int32_t net_error, int32_t response_code,
                const uint8_t *message, uint32_t message_len) noexcept {
  WebSocketShared *shared = shared_of(user);
  const CoreReleaseOnExit release(shared);
  guarded(shared, [&] {
    shared->push(
        WebSocketEvent{WebSocketFailure{failure_error(code), copy_string(message, message_len),
                                        net_error, response_code}},
        true);
  });
}

}  // namespace

hv_websocket_callbacks websocket_callback_table(WebSocketShared *shared) {
  hv_websocket_callbacks table{};
  table.size = sizeof table;
  table.abi = HV_ABI_VERSION;
  table.user_data = shared;
  table.on_open = on_open;
  table.on_message = on_message;
  table.on_closing = on_closing;
  table.on_closed = on_closed;
  table.on_failure = on_failure;
  return table;
}

}  // namespace halvane
