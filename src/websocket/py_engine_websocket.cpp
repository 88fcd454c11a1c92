// PyEngine.websocket(...): options into a WebSocketConfig, a new PyWebSocket.
#include "module/args.h"
#include "module/errors.h"
#include "module/py_engine.h"
#include "module/pyref.h"
#include "module/types.h"
#include "websocket/py_websocket.h"

namespace strandel {
namespace {

constexpr const char *kParams[] = {"url", "origin", "headers", "timeout", "protocols"};
constexpr ParamSpec kSpec{"PyEngine", "websocket", kParams, 5, 1};

// None, or a sequence whose items convert as text (a str is a sequence of
// one-character strings). Past the layer's limit the rest is not converted:
// the one item too many already makes the WebSocket layer refuse the list.
bool to_optional_text_list(PyObject *obj, std::optional<std::vector<std::string>> &out) {
  if (obj == Py_None) return true;
  if (!PySequence_Check(obj)) {
    PyRef type_name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(obj)), "__qualname__"));
    if (type_name)
      PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to 'Sequence'",
                   type_name.get());
    return false;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  std::vector<std::string> items;
  while (items.size() <= halvane::kMaxProtocols) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) break;
    std::string text;
    if (!to_text(item.get(), text)) return false;
    items.push_back(std::move(text));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(items);
  return true;
}

}  // namespace

PyObject *engine_websocket(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    std::string url, origin;
    std::optional<std::vector<halvane::Header>> headers;
    std::optional<double> timeout;
    std::optional<std::vector<std::string>> protocols;
    ArgParser p(kSpec, args, kwargs);
    if (!p.ok() || !p.get(0, url, to_text) || !p.get(1, origin, to_text) ||
        !p.get(2, headers, to_optional_headers) || !p.get(3, timeout, to_optional_real) ||
        !p.get(4, protocols, to_optional_text_list))
      return nullptr;

    auto config = halvane::WebSocketConfig::create(std::move(url), std::move(origin));
    if (headers) config.headers = std::move(*headers);
    if (protocols) config.protocols = std::move(*protocols);
    if (!to_duration(timeout, config.timeout)) return nullptr;
    auto ws = NativeObject<PyEngineValue>::of(self).engine.websocket(std::move(config));
    if (!ws) return raise_error(ws.error());
    return make_py_websocket(std::move(ws).value());
  });
}

}  // namespace strandel
