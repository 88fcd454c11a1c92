// PyEngine.websocket(...): options into a WebSocketConfig, a new PyWebSocket.
#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/extension_args.h"
#include "python/module/py_engine.h"
#include "python/module/types.h"
#include "python/websocket/py_websocket.h"

namespace strandel {

PyObject *engine_websocket(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    std::string url, origin;
    std::optional<std::vector<halvane::Header>> headers;
    std::optional<double> timeout;
    std::optional<std::vector<std::string>> protocols;
    std::optional<int64_t> max_message_size;
    // Past the layer's limit the rest of the protocols is not converted: the
    // one item too many already makes the WebSocket layer refuse the list.
    if (!bind_args({"PyEngine", "websocket"}, args, kwargs,
                   {
                       param<to_text>("url", url),
                       param<to_text>("origin", origin, std::string()),
                       param<to_optional_headers>("headers", headers, std::nullopt),
                       param<to_optional_real>("timeout", timeout, std::nullopt),
                       param<to_optional_text_list<halvane::kMaxProtocols>>("protocols", protocols,
                                                                            std::nullopt),
                       param<to_optional_int64>("max_message_size", max_message_size, std::nullopt),
                   }))
      return nullptr;
    // The whole message is held in memory, in the Core and here.
    constexpr int64_t kMostMessage = int64_t{1} << 30;
    if (max_message_size) {
      if (!require_extension(halvane::Extension::MaxMessageSize, "max_message_size"))
        return nullptr;
      if (*max_message_size < 1 || *max_message_size > kMostMessage) {
        PyErr_SetString(PyExc_ValueError,
                        "max_message_size must be between 1 and 1073741824 bytes");
        return nullptr;
      }
    }

    auto config = halvane::WebSocketConfig::create(std::move(url), std::move(origin));
    if (headers) config.headers = std::move(*headers);
    if (protocols) config.protocols = std::move(*protocols);
    if (!to_duration(timeout, config.timeout)) return nullptr;
    if (max_message_size) config.max_message_size = static_cast<uint32_t>(*max_message_size);
    auto ws = NativeObject<PyEngineValue>::of(self).engine.websocket(std::move(config));
    if (!ws) return raise_error(ws.error());
    return make_py_websocket(std::move(ws).value());
  });
}

}  // namespace strandel
