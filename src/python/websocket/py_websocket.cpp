#include "python/websocket/py_websocket.h"

#include <variant>

#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/extension_args.h"
#include "python/module/gil.h"
#include "python/module/pyref.h"
#include "python/module/pyvalues.h"
#include "python/module/slot_lock.h"
#include "python/module/type_spec.h"
#include "python/module/types.h"
#include "python/request/loop_notifier.h"
#include "python/request/py_loop_waker.h"

namespace strandel {
namespace {

constexpr const char kNotConnected[] = "WebSocket is not connected";

PyWebSocketValue &ws_value(PyObject *self) { return NativeObject<PyWebSocketValue>::of(self); }

PyObject *none_or_raise(const halvane::Status &status) {
  if (!status) return raise_error(status.error());
  Py_RETURN_NONE;
}

bool is_terminal(const halvane::WebSocketEvent &event) { return event.is_terminal(); }

// (kind, data as ints or bytes, code or None, text or None)
PyObject *event_tuple(const halvane::WebSocketEvent &event, ByteForm form) {
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
  PyRef bytes = PyRef::steal(data ? byte_value(form, *data) : byte_value(form, protocol_bytes));
  if (!bytes || !code || !message) return nullptr;
  return Py_BuildValue("(sOOO)", kind, bytes.get(), code.get(), message.get());
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
    std::string payload;
    if (!bind_args({"PyWebSocket", "send_text"}, args, kwargs, {param<to_text>("text", payload)}))
      return nullptr;
    // The Core holds a sender while much is unsent: wait without the lock.
    PyWebSocketValue &value = ws_value(self);
    return none_or_raise(without_gil([&] { return value.ws.send_text(payload); }));
  });
}

PyObject *send_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    ByteInput payload;
    if (!bind_args({"PyWebSocket", "send_bytes"}, args, kwargs,
                   {param<to_byte_input>("data", payload)}))
      return nullptr;
    PyWebSocketValue &value = ws_value(self);
    return none_or_raise(without_gil([&] { return value.ws.send_binary(payload.view()); }));
  });
}

PyObject *ping(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    ByteInput payload;
    if (!bind_args({"PyWebSocket", "ping"}, args, kwargs,
                   {param<to_byte_input>("data", payload, ByteInput())}))
      return nullptr;
    if (!require_extension(halvane::Extension::WebSocketPing, "ping")) return nullptr;
    if (payload.view().size() > halvane::kMaxPingPayload) {
      PyErr_SetString(PyExc_ValueError, "ping payload must be at most 125 bytes");
      return nullptr;
    }
    PyWebSocketValue &value = ws_value(self);
    return none_or_raise(value.ws.ping(payload.view()));
  });
}

PyObject *recv_as(ByteForm form, const char *name, PyObject *self, PyObject *args,
                  PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"PyWebSocket", name}, args, kwargs)) return nullptr;
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
    return event_tuple(*event, form);
  });
}

PyObject *recv(PyObject *self, PyObject *args, PyObject *kwargs) {
  return recv_as(ByteForm::List, "recv", self, args, kwargs);
}

PyObject *recv_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return recv_as(ByteForm::Bytes, "recv_bytes", self, args, kwargs);
}

// Drops the event callback after close or cancel. A waker's registration is
// kept: its owner awaits the closing events, and the terminal one ends it.
void detach_after_close(PyWebSocketValue &value) {
  if (!value.waker_attached.load()) value.ws.clear_event_callback();
}

PyObject *close(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    uint16_t code = 0;
    std::string reason;
    if (!bind_args({"PyWebSocket", "close"}, args, kwargs,
                   {param<to_u16>("code", code), param<to_text>("reason", reason)}))
      return nullptr;
    PyWebSocketValue &value = ws_value(self);
    const halvane::Status status = value.ws.close(code, reason);
    // The closing events still queue, but are no longer announced to a loop
    // notifier.
    detach_after_close(value);
    return none_or_raise(status);
  });
}

PyObject *cancel(PyObject *self, PyObject *) {
  return entry([&] {
    PyWebSocketValue &value = ws_value(self);
    const halvane::Status status = value.ws.cancel();
    detach_after_close(value);
    return none_or_raise(status);
  });
}

PyObject *is_finished(PyObject *self, PyObject *) {
  return entry([&] { return PyBool_FromLong(ws_value(self).ws.is_finished()); });
}

void detach(PyWebSocketValue &value) {
  value.waker_attached.store(false);
  value.ws.clear_event_callback();
}

PyObject *detach_callback(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    detach(ws_value(self));
    Py_RETURN_NONE;
  });
}

PyObject *start_async(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    PyObject *loop = nullptr, *notify = nullptr;
    if (!bind_args({"PyWebSocket", "start_async"}, args, kwargs,
                   {param<to_object>("loop_", loop), param<to_object>("notify", notify)}))
      return nullptr;
    PyWebSocketValue &value = ws_value(self);
    // Attached before the start, so that no event goes unannounced.
    value.waker_attached.store(false);
    value.ws.set_event_callback(make_loop_notifier(value.notify_pending, loop, notify));
    return connect_impl(value);
  });
}

PyObject *start_waker(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    PyObject *waker = nullptr;
    if (!bind_args({"PyWebSocket", "start_waker"}, args, kwargs,
                   {param<to_loop_waker>("waker", waker)}))
      return nullptr;
    halvane::EventCallbackPtr callback = register_with_waker(waker, self);
    if (!callback) return nullptr;
    PyWebSocketValue &value = ws_value(self);
    // Registered before the start, so that no event goes unannounced.
    value.waker_attached.store(true);
    value.ws.set_event_callback(std::move(callback));
    PyRef result = PyRef::steal(connect_impl(value));
    // A refused start announces nothing: the registration ends at once.
    if (!result) detach(value);
    return result.release();
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
  if (terminal) detach(value);
  return batch;
}

PyObject *poll_event(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    Batch batch = take_events(ws_value(self), 1);
    if (!batch) return raise_message(kNotConnected);
    if (batch->empty()) Py_RETURN_NONE;
    return event_tuple(batch->front(), ByteForm::List);
  });
}

PyObject *poll_events_as(ByteForm form, const char *name, PyObject *self, PyObject *args,
                         PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    uint64_t limit{};
    if (!bind_args({"PyWebSocket", name}, args, kwargs, {param<to_poll_limit>("limit", limit, 64)}))
      return nullptr;
    Batch batch = take_events(ws_value(self), limit);
    if (!batch) return raise_message(kNotConnected);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto &event : *batch) {
      PyRef item = PyRef::steal(event_tuple(event, form));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject *poll_events(PyObject *self, PyObject *args, PyObject *kwargs) {
  return poll_events_as(ByteForm::List, "poll_events", self, args, kwargs);
}

PyObject *poll_events_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return poll_events_as(ByteForm::Bytes, "poll_events_bytes", self, args, kwargs);
}

PyMethodDef websocket_methods[] = {
    noargs_method("connect", connect),
    args_method("send_text", send_text),
    args_method("send_bytes", send_bytes),
    args_method("ping", ping),
    args_method("recv", recv),
    args_method("recv_bytes", recv_bytes),
    args_method("close", close),
    noargs_method("cancel", cancel),
    noargs_method("is_finished", is_finished),
    noargs_method("detach_callback", detach_callback),
    args_method("start_async", start_async),
    args_method("start_waker", start_waker),
    noargs_method("poll_event", poll_event),
    args_method("poll_events", poll_events),
    args_method("poll_events_bytes", poll_events_bytes),
    kMethodsEnd,
};

}  // namespace

PyType_Spec *websocket_type_spec() {
  return native_type_spec<PyWebSocketValue>({"builtins.PyWebSocket", websocket_methods});
}

PyObject *make_py_websocket(halvane::WebSocket ws) {
  return emplace_native<PyWebSocketValue>(TypeId::WebSocket, std::move(ws));
}

}  // namespace strandel
