// Event-loop integration: a notifier or a waker announces news, polls return
// events.
#include <cstdint>
#include <string>
#include <vector>

#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/pyref.h"
#include "python/module/pyvalues.h"
#include "python/module/slot_lock.h"
#include "python/request/loop_notifier.h"
#include "python/request/py_loop_waker.h"
#include "python/request/py_request.h"

namespace strandel::request_methods {

namespace {

struct RequestEvent {
  const char *kind;
  int32_t status = 0;
  std::vector<uint8_t> headers = {};
  std::vector<uint8_t> data = {};
  std::optional<std::string> message = {};
  bool terminal = false;
};

PyObject *event_tuple(const RequestEvent &e, ByteForm form) {
  PyRef headers = PyRef::steal(byte_value(form, e.headers));
  PyRef data = PyRef::steal(byte_value(form, e.data));
  PyRef message = e.message ? PyRef::steal(text(*e.message)) : PyRef::borrow(Py_None);
  if (!headers || !data || !message) return nullptr;
  return Py_BuildValue("(siOOO)", e.kind, e.status, headers.get(), data.get(), message.get());
}

RequestEvent error_event(const halvane::RequestError &error) {
  RequestEvent e{"error"};
  e.message = error.display();
  e.terminal = true;
  return e;
}

// One poll step: redirects first, then the head, then the body. A terminal
// event is reported once per request and finishes it.
std::optional<RequestEvent> poll_one(PyRequestValue &value) {
  std::optional<RequestEvent> event;
  if (auto redirect = value.request.take_redirect()) {
    RequestEvent e{"redirect", redirect->status, std::move(redirect->headers)};
    e.data.assign(redirect->first_text.begin(), redirect->first_text.end());
    e.message = std::move(redirect->second_text);
    return e;
  }

  halvane::TakeResult head = with_slot(value.pending_response_mutex, [&]() -> halvane::TakeResult {
    if (!value.pending_response) return halvane::NotReady{};
    return value.pending_response->try_take();
  });
  if (auto *response = std::get_if<halvane::Response>(&head)) {
    value.take_pending();
    RequestEvent e{"response", response->status, std::move(response->headers)};
    value.store_stream(std::move(response->body));
    event = std::move(e);
  } else if (auto *error = std::get_if<halvane::RequestError>(&head)) {
    value.take_pending();
    event = error_event(*error);
  } else {
    halvane::BodyItem item = with_slot(value.body_stream_mutex, [&]() -> halvane::BodyItem {
      if (!value.body_stream) return halvane::NotReady{};
      return value.body_stream->try_next();
    });
    if (auto *chunk = std::get_if<halvane::Chunk>(&item)) {
      RequestEvent e{"body"};
      e.data = std::move(*chunk);
      event = std::move(e);
    } else if (auto *error = std::get_if<halvane::RequestError>(&item)) {
      event = error_event(*error);
    } else if (std::holds_alternative<halvane::End>(item)) {
      event = RequestEvent{"done"};
      event->terminal = true;
    }
  }

  if (event && event->terminal) {
    if (value.terminal_reported.exchange(true)) return std::nullopt;
    value.finish();
  }
  return event;
}

bool parse_loop_args(const char *name, PyObject *args, PyObject *kwargs, PyObject *&loop,
                     PyObject *&notify) {
  return bind_args({"PyRequest", name}, args, kwargs,
                   {param<to_object>("loop_", loop), param<to_object>("notify", notify)});
}

void attach(PyRequestValue &value, PyObject *loop, PyObject *notify) {
  value.request.set_event_callback(make_loop_notifier(value.notify_pending, loop, notify));
}

}  // namespace

PyObject *attach_async(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    PyObject *loop = nullptr, *notify = nullptr;
    if (!parse_loop_args("attach_async", args, kwargs, loop, notify)) return nullptr;
    attach(request_value(self), loop, notify);
    Py_RETURN_NONE;
  });
}

PyObject *start_async(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    PyObject *loop = nullptr, *notify = nullptr;
    if (!parse_loop_args("start_async", args, kwargs, loop, notify)) return nullptr;
    PyRequestValue &value = request_value(self);
    // Attached first, so that no event of the request goes unannounced.
    attach(value, loop, notify);
    auto future = value.request.start();
    if (!future) return raise_error(future.error());
    value.store_pending(std::move(future).value());
    Py_RETURN_NONE;
  });
}

PyObject *start_waker(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    PyObject *waker = nullptr;
    if (!bind_args({"PyRequest", "start_waker"}, args, kwargs,
                   {param<to_loop_waker>("waker", waker)}))
      return nullptr;
    halvane::EventCallbackPtr callback = register_with_waker(waker, self);
    if (!callback) return nullptr;
    PyRequestValue &value = request_value(self);
    // Registered first, so that no event of the request goes unannounced.
    value.request.set_event_callback(std::move(callback));
    auto future = value.request.start();
    if (!future) {
      // Nothing will ever be announced: the registration ends at once.
      value.request.clear_event_callback();
      return raise_error(future.error());
    }
    value.store_pending(std::move(future).value());
    Py_RETURN_NONE;
  });
}

PyObject *poll_event(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    PyRequestValue &value = request_value(self);
    value.notify_pending->store(false);
    auto event = poll_one(value);
    if (!event) Py_RETURN_NONE;
    return event_tuple(*event, ByteForm::List);
  });
}

namespace {

PyObject *poll_events_as(ByteForm form, const char *name, PyObject *self, PyObject *args,
                         PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    uint64_t limit{};
    if (!bind_args({"PyRequest", name}, args, kwargs, {param<to_poll_limit>("limit", limit, 64)}))
      return nullptr;

    PyRequestValue &value = request_value(self);
    value.notify_pending->store(false);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    while (static_cast<uint64_t>(PyList_Size(list.get())) < limit) {
      auto event = poll_one(value);
      if (!event) break;
      PyRef item = PyRef::steal(event_tuple(*event, form));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
      if (event->terminal) break;
    }
    return list.release();
  });
}

}  // namespace

PyObject *poll_events(PyObject *self, PyObject *args, PyObject *kwargs) {
  return poll_events_as(ByteForm::List, "poll_events", self, args, kwargs);
}

PyObject *poll_events_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return poll_events_as(ByteForm::Bytes, "poll_events_bytes", self, args, kwargs);
}

PyObject *detach_callback(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    request_value(self).finish();
    Py_RETURN_NONE;
  });
}

}  // namespace strandel::request_methods
