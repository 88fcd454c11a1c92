#include "websocket/py_websocket.h"

#include <variant>

#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/pyref.h"
#include "module/pyvalues.h"
#include "module/slot_lock.h"
#include "module/types.h"
#include "request/loop_notifier.h"

namespace strandel {
namespace {

constexpr const char kNotConnected[] = "WebSocket is not connected";

PyWebSocketValue &ws_value(PyObject *self) { return NativeObject<PyWebSocketValue>::of(self); }

PyObject *none_or_raise(const halvane::Status &status) {
  if (!status) return raise_error(status.error());
  Py_RETURN_NONE;
}

bool is_terminal(const halvane::WebSocketEvent &event) { return event.is_terminal(); }

// (kind, data as ints, code or None, text or None)
PyObject *event_tuple(const halvane::WebSocketEvent &event) {
  const char *kind = "closing";
  const std::vector<uint8_t> *data = nullptr;
  std::string protocol_bytes;
  PyRef code = PyRef::borrow(Py_None), message = PyRef::borrow(Py_None);
  if (auto *open = event.get_if<halvane::WebSocketEvent::Open>()) {
    kind = "open";
    protocol_bytes = open->protocol;
  } else if (auto *msg = event.get_if<halvane::WebSocketEvent::Message>()) {
    kind = msg->kind == halvane::MessageKind::Text ? "text" : "binary";
    data = &msg->data;
  } else if (auto *closed = event.get_if<halvane::WebSocketEvent::Closed>()) {
    kind = "closed";
    code = PyRef::steal(PyLong_FromLong(closed->code));
    message = PyRef::steal(text(closed->reason));
  } else if (auto *failure = event.get_if<halvane::WebSocketEvent::Failure>()) {
    kind = "error";
    message = PyRef::steal(text(failure->display()));
  }
  PyRef bytes = PyRef::steal(data ? byte_list(*data) : byte_list(protocol_bytes));
  if (!bytes || !code || !message) return nullptr;
  return Py_BuildValue("(sOOO)", kind, bytes.get(), code.get(), message.get());
}

bool parse_none(const char *name, PyObject *args, PyObject *kwargs) {
  const ParamSpec spec{"PyWebSocket", name, nullptr, 0, 0};
  return ArgParser(spec, args, kwargs).ok();
}

// Starts the connection and keeps its event stream.
PyObject *connect_impl(PyWebSocketValue &value) {
  auto events = value.ws.start();
  if (!events) return raise_error(events.error());
  auto old = with_slot(value.events_mutex,
                       [&] { return std::exchange(value.events, std::move(events).value()); });
  Py_RETURN_NONE;
}

PyObject *connect(PyObject *self, PyObject *) {
  return entry([&] { return connect_impl(ws_value(self)); });
}

PyObject *send_text(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    static constexpr const char *names[] = {"text"};
    static constexpr ParamSpec spec{"PyWebSocket", "send_text", names, 1, 1};
    std::string payload;
    ArgParser p(spec, args, kwargs);
    if (!p.ok() || !p.get(0, payload, to_text)) return nullptr;
    // The Core holds a sender while much is unsent: wait without the lock.
    PyWebSocketValue &value = ws_value(self);
    return none_or_raise(without_gil([&] { return value.ws.send_text(payload); }));
  });
}

PyObject *send_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    static constexpr const char *names[] = {"data"};
    static constexpr ParamSpec spec{"PyWebSocket", "send_bytes", names, 1, 1};
    std::vector<uint8_t> payload;
    ArgParser p(spec, args, kwargs);
    if (!p.ok() || !p.get(0, payload, to_bytes)) return nullptr;
    PyWebSocketValue &value = ws_value(self);
    return none_or_raise(without_gil([&] { return value.ws.send_binary(payload); }));
  });
}

PyObject *recv(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!parse_none("recv", args, kwargs)) return nullptr;
    PyWebSocketValue &value = ws_value(self);
    using Outcome = std::variant<std::monostate, std::optional<halvane::WebSocketEvent>>;
    Outcome outcome = without_gil([&]() -> Outcome {
      std::lock_guard lock(value.events_mutex);
      if (!value.events) return std::monostate{};
      return value.events->blocking_next();
    });
    if (std::holds_alternative<std::monostate>(outcome)) return raise_message(kNotConnected);
    auto &event = std::get<1>(outcome);
    if (!event) Py_RETURN_NONE;
    return event_tuple(*event);
  });
}

PyObject *close(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    static constexpr const char *names[] = {"code", "reason"};
    static constexpr ParamSpec spec{"PyWebSocket", "close", names, 2, 2};
    uint16_t code = 0;
    std::string reason;
    ArgParser p(spec, args, kwargs);
    if (!p.ok() || !p.get(0, code, to_u16) || !p.get(1, reason, to_text)) return nullptr;
    PyWebSocketValue &value = ws_value(self);
    const halvane::Status status = value.ws.close(code, reason);
    // The closing events still queue, but are no longer announced.
    value.ws.clear_event_callback();
    return none_or_raise(status);
  });
}

PyObject *cancel(PyObject *self, PyObject *) {
  return entry([&] {
    PyWebSocketValue &value = ws_value(self);
    const halvane::Status status = value.ws.cancel();
    value.ws.clear_event_callback();
    return none_or_raise(status);
  });
}

PyObject *is_finished(PyObject *self, PyObject *) {
  return entry([&] { return PyBool_FromLong(ws_value(self).ws.is_finished()); });
}

PyObject *detach_callback(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    ws_value(self).ws.clear_event_callback();
    Py_RETURN_NONE;
  });
}

PyObject *start_async(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    static constexpr const char *names[] = {"loop_", "notify"};
    static constexpr ParamSpec spec{"PyWebSocket", "start_async", names, 2, 2};
    PyObject *loop = nullptr, *notify = nullptr;
    ArgParser p(spec, args, kwargs);
    if (!p.ok() || !p.get(0, loop, to_object) || !p.get(1, notify, to_object)) return nullptr;
    PyWebSocketValue &value = ws_value(self);
    // Attached before the start, so that no event goes unannounced.
    value.ws.set_event_callback(make_loop_notifier(value.notify_pending, loop, notify));
    return connect_impl(value);
  });
}

// Takes up to `limit` events without waiting; a terminal event ends the batch
// and detaches the notifier. Nothing (not connected) raises.
using Batch = std::optional<std::vector<halvane::WebSocketEvent>>;

Batch take_events(PyWebSocketValue &value, uint64_t limit) {
  value.notify_pending->store(false);
  bool terminal = false;
  Batch batch = with_slot(value.events_mutex, [&]() -> Batch {
    if (!value.events) return std::nullopt;
    std::vector<halvane::WebSocketEvent> taken;
    while (taken.size() < limit) {
      auto event = value.events->try_next();
      if (!event) break;
      taken.push_back(std::move(*event));
      if (is_terminal(taken.back())) {
        terminal = true;
        break;
      }
    }
    return taken;
  });
  // Outside the slot: dropping the notifier may run Python code (a finaliser
  // that polls this very WebSocket, say).
  if (terminal) value.ws.clear_event_callback();
  return batch;
}

PyObject *poll_event(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    Batch batch = take_events(ws_value(self), 1);
    if (!batch) return raise_message(kNotConnected);
    if (batch->empty()) Py_RETURN_NONE;
    return event_tuple(batch->front());
  });
}

PyObject *poll_events(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    static constexpr const char *names[] = {"limit"};
    static constexpr ParamSpec spec{"PyWebSocket", "poll_events", names, 1, 0};
    uint64_t limit = 64;
    ArgParser p(spec, args, kwargs);
    if (!p.ok() || !p.get(0, limit, to_poll_limit)) return nullptr;
    Batch batch = take_events(ws_value(self), limit);
    if (!batch) return raise_message(kNotConnected);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto &event : *batch) {
      PyRef item = PyRef::steal(event_tuple(event));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

template <typename F>
constexpr PyCFunction cfunc(F *f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef websocket_methods[] = {
    {"connect", connect, METH_NOARGS, nullptr},
    {"send_text", cfunc(send_text), kArgs, nullptr},
    {"send_bytes", cfunc(send_bytes), kArgs, nullptr},
    {"recv", cfunc(recv), kArgs, nullptr},
    {"close", cfunc(close), kArgs, nullptr},
    {"cancel", cancel, METH_NOARGS, nullptr},
    {"is_finished", is_finished, METH_NOARGS, nullptr},
    {"detach_callback", detach_callback, METH_NOARGS, nullptr},
    {"start_async", cfunc(start_async), kArgs, nullptr},
    {"poll_event", poll_event, METH_NOARGS, nullptr},
    {"poll_events", cfunc(poll_events), kArgs, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot websocket_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void *>(native_dealloc<PyWebSocketValue>)},
    {Py_tp_methods, websocket_methods},
    {0, nullptr},
};

PyType_Spec websocket_spec = {"builtins.PyWebSocket", native_basicsize<PyWebSocketValue>(), 0,
                              Py_TPFLAGS_DEFAULT, websocket_slots};

}  // namespace

PyType_Spec *websocket_type_spec() { return &websocket_spec; }

PyObject *make_py_websocket(halvane::WebSocket ws) {
  return emplace_native<PyWebSocketValue>(TypeId::WebSocket, std::move(ws));
}

}  // namespace strandel
