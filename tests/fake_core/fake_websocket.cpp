#include "fake_websocket.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "fake_state.h"
#include "fake_worker.h"

using namespace fake;

namespace {

// The callback table a WebSocket was created with; found also after release,
// because the Core still owes a released, started WebSocket its terminal call.
std::optional<hv_websocket_callbacks> callbacks_of(uint64_t ws) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.objects.find(ws);
  if (it == s.objects.end() || it->second.kind != ObjectKind::WebSocket) return std::nullopt;
  return it->second.websocket_callbacks;
}

// Bytes kept for a delivery on the worker thread; NULL stays NULL.
struct Bytes {
  Bytes(const uint8_t *ptr, uint32_t len)
      : is_null(ptr == nullptr),
        copy(ptr && len ? std::string(reinterpret_cast<const char *>(ptr), len) : ""),
        len(len) {}
  const uint8_t *ptr() const {
    return is_null ? nullptr : reinterpret_cast<const uint8_t *>(copy.data());
  }
  bool is_null;
  std::string copy;
  uint32_t len;
};

// Runs `deliver` with the WebSocket's table, now or on the delivery thread;
// the state mutex is never held while a callback runs.
int dispatch(uint64_t ws, int async, std::function<void(const hv_websocket_callbacks &)> deliver) {
  const auto table = callbacks_of(ws);
  if (!table) return 0;
  if (async)
    post([table = *table, deliver = std::move(deliver)] { deliver(table); });
  else
    deliver(*table);
  return 1;
}

struct Log {
  std::mutex mutex;
  std::vector<WebSocketSend> sends;
  std::vector<WebSocketClose> closes;
};

Log &log() {
  static Log *l = new Log();  // never destroyed, like the rest of the stand-in
  return *l;
}

std::string json(const Text &t) {
  static const char *digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : t.bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return std::string("{\"null\": ") + (t.is_null ? "true" : "false") +
         ", \"len\": " + std::to_string(t.len) + ", \"hex\": \"" + hex + "\"}";
}

}  // namespace

namespace fake {

void record_websocket_send(hv_handle ws, uint32_t type, const uint8_t *data, uint32_t len) {
  std::lock_guard lock(log().mutex);
  log().sends.push_back({ws, type, capture(data, len)});
}

void record_websocket_close(hv_handle ws, uint32_t code, const uint8_t *reason, uint32_t len) {
  std::lock_guard lock(log().mutex);
  log().closes.push_back({ws, code, capture(reason, len)});
}

std::vector<WebSocketSend> websocket_sends() {
  std::lock_guard lock(log().mutex);
  return log().sends;
}

std::vector<WebSocketClose> websocket_closes() {
  std::lock_guard lock(log().mutex);
  return log().closes;
}

}  // namespace fake

extern "C" {

int fake_websocket_open(uint64_t ws, const uint8_t *protocol, uint32_t protocol_len,
                        const uint8_t *extensions, uint32_t extensions_len, int async) {
  if (!async)
    return dispatch(ws, 0, [&](const hv_websocket_callbacks &t) {
      t.on_open(t.user_data, ws, protocol, protocol_len, extensions, extensions_len);
    });
  return dispatch(ws, 1,
                  [ws, p = Bytes(protocol, protocol_len),
                   e = Bytes(extensions, extensions_len)](const hv_websocket_callbacks &t) {
                    t.on_open(t.user_data, ws, p.ptr(), p.len, e.ptr(), e.len);
                  });
}

int fake_websocket_message(uint64_t ws, int32_t type, int32_t fin, const uint8_t *data,
                           uint32_t len, int async) {
  if (!async)
    return dispatch(ws, 0, [&](const hv_websocket_callbacks &t) {
      t.on_message(t.user_data, ws, type, fin, data, len);
    });
  return dispatch(ws, 1, [ws, type, fin, d = Bytes(data, len)](const hv_websocket_callbacks &t) {
    t.on_message(t.user_data, ws, type, fin, d.ptr(), d.len);
  });
}

int fake_websocket_closing(uint64_t ws, int async) {
  return dispatch(ws, async,
                  [ws](const hv_websocket_callbacks &t) { t.on_closing(t.user_data, ws); });
}

int fake_websocket_closed(uint64_t ws, int32_t clean, uint32_t code, const uint8_t *reason,
                          uint32_t reason_len, int async) {
  if (!async)
    return dispatch(ws, 0, [&](const hv_websocket_callbacks &t) {
      t.on_closed(t.user_data, ws, clean, code, reason, reason_len);
    });
  return dispatch(
      ws, 1, [ws, clean, code, r = Bytes(reason, reason_len)](const hv_websocket_callbacks &t) {
        t.on_closed(t.user_data, ws, clean, code, r.ptr(), r.len);
      });
}

int fake_websocket_failure(uint64_t ws, int32_t code, int32_t net_error, int32_t response_code,
                           const uint8_t *message, uint32_t message_len, int async) {
  if (!async)
    return dispatch(ws, 0, [&](const hv_websocket_callbacks &t) {
      t.on_failure(t.user_data, ws, code, net_error, response_code, message, message_len);
    });
  return dispatch(ws, 1,
                  [ws, code, net_error, response_code,
                   m = Bytes(message, message_len)](const hv_websocket_callbacks &t) {
                    t.on_failure(t.user_data, ws, code, net_error, response_code, m.ptr(), m.len);
                  });
}

uint64_t fake_websocket_send_count(void) {
  std::lock_guard lock(log().mutex);
  return log().sends.size();
}

const char *fake_websocket_send_json(uint64_t index) {
  static thread_local std::string out;
  std::lock_guard lock(log().mutex);
  out = "null";
  if (index < log().sends.size()) {
    const WebSocketSend &s = log().sends[index];
    out = "{\"handle\": " + std::to_string(s.handle) + ", \"type\": " + std::to_string(s.type) +
          ", \"data\": " + json(s.data) + "}";
  }
  return out.c_str();
}

uint64_t fake_websocket_close_count(void) {
  std::lock_guard lock(log().mutex);
  return log().closes.size();
}

const char *fake_websocket_close_json(uint64_t index) {
  static thread_local std::string out;
  std::lock_guard lock(log().mutex);
  out = "null";
  if (index < log().closes.size()) {
    const WebSocketClose &c = log().closes[index];
    out = "{\"handle\": " + std::to_string(c.handle) + ", \"code\": " + std::to_string(c.code) +
          ", \"reason\": " + json(c.reason) + "}";
  }
  return out.c_str();
}

void fake_websocket_reset(void) {
  std::lock_guard lock(log().mutex);
  log().sends.clear();
  log().closes.clear();
}

}  // extern "C"
