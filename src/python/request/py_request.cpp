#include "python/request/py_request.h"

#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/gil.h"
#include "python/module/pyref.h"
#include "python/module/pyvalues.h"
#include "python/module/slot_lock.h"
#include "python/module/type_spec.h"
#include "python/module/types.h"
#include "python/request/py_response.h"

namespace strandel {

std::optional<halvane::ResponseFuture> PyRequestValue::take_pending() {
  return with_slot(pending_response_mutex, [&] { return std::exchange(pending_response, {}); });
}

void PyRequestValue::store_pending(halvane::ResponseFuture future) {
  // The replaced future is dropped after the slot is unlocked.
  auto old = with_slot(pending_response_mutex,
                       [&] { return std::exchange(pending_response, std::move(future)); });
}

void PyRequestValue::store_stream(halvane::ResponseStream stream) {
  auto old =
      with_slot(body_stream_mutex, [&] { return std::exchange(body_stream, std::move(stream)); });
}

void PyRequestValue::finish() {
  request.clear_event_callback();
  take_pending();
}

PyRequestValue &request_value(PyObject *self) { return NativeObject<PyRequestValue>::of(self); }

PyObject *make_py_request(halvane::Request request, std::optional<uint64_t> upload_length) {
  return emplace_native<PyRequestValue>(TypeId::Request, std::move(request), upload_length);
}

namespace request_methods {
namespace {

// Outcome of a blocking part run without the interpreter lock, turned into
// Python objects once the lock is back.
using HeadOutcome = std::variant<halvane::Response, halvane::Error, halvane::RequestError>;

// Waits for the head and keeps its body stream. Runs without the lock.
HeadOutcome await_head(PyRequestValue &value, halvane::ResponseFuture future) {
  auto result = std::move(future).wait();
  if (!result) return result.error();
  halvane::Response response = std::move(result).value();
  {
    std::lock_guard lock(value.body_stream_mutex);
    auto old = std::exchange(value.body_stream, std::move(response.body));
  }
  return response;
}

PyObject *head_to_python(HeadOutcome &&outcome) {
  if (auto *err = std::get_if<halvane::Error>(&outcome)) return raise_error(*err);
  if (auto *err = std::get_if<halvane::RequestError>(&outcome)) return raise_request_error(*err);
  return make_py_response(std::get<halvane::Response>(std::move(outcome)));
}

constexpr const char kNoStream[] = "request body stream is not started";

}  // namespace

PyObject *start(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    PyRequestValue &value = request_value(self);
    auto future = value.request.start();
    if (!future) return raise_error(future.error());
    value.store_pending(std::move(future).value());
    Py_RETURN_NONE;
  });
}

PyObject *start_stream(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"PyRequest", "start_stream"}, args, kwargs)) return nullptr;
    PyRequestValue &value = request_value(self);
    HeadOutcome outcome = without_gil([&]() -> HeadOutcome {
      auto future = value.request.start();
      if (!future) return future.error();
      return await_head(value, std::move(future).value());
    });
    return head_to_python(std::move(outcome));
  });
}

PyObject *await_response(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"PyRequest", "await_response"}, args, kwargs)) return nullptr;
    PyRequestValue &value = request_value(self);
    auto future = value.take_pending();
    if (!future) return raise_message("request is not started");
    HeadOutcome outcome =
        without_gil([&]() -> HeadOutcome { return await_head(value, std::move(*future)); });
    return head_to_python(std::move(outcome));
  });
}

namespace {

PyObject *next_body_as(ByteForm form, const char *name, PyObject *self, PyObject *args,
                       PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"PyRequest", name}, args, kwargs)) return nullptr;
    PyRequestValue &value = request_value(self);
    std::optional<halvane::BodyItem> item = without_gil([&]() -> std::optional<halvane::BodyItem> {
      std::lock_guard lock(value.body_stream_mutex);
      if (!value.body_stream) return std::nullopt;
      return value.body_stream->blocking_next();
    });
    if (!item) return raise_message(kNoStream);
    if (auto *chunk = std::get_if<halvane::Chunk>(&*item)) return byte_value(form, *chunk);
    if (auto *err = std::get_if<halvane::RequestError>(&*item)) return raise_request_error(*err);
    Py_RETURN_NONE;
  });
}

PyObject *read_body_as(ByteForm form, const char *name, PyObject *self, PyObject *args,
                       PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"PyRequest", name}, args, kwargs)) return nullptr;
    PyRequestValue &value = request_value(self);
    using Outcome = std::variant<std::monostate, std::vector<uint8_t>, halvane::RequestError>;
    Outcome outcome = without_gil([&]() -> Outcome {
      std::lock_guard lock(value.body_stream_mutex);
      if (!value.body_stream) return std::monostate{};
      std::vector<uint8_t> body;
      for (;;) {
        halvane::BodyItem item = value.body_stream->blocking_next();
        if (auto *chunk = std::get_if<halvane::Chunk>(&item)) {
          // The first chunk is kept as it is: a body of one chunk is never copied here.
          if (body.empty())
            body = std::move(*chunk);
          else
            body.insert(body.end(), chunk->begin(), chunk->end());
        } else if (auto *err = std::get_if<halvane::RequestError>(&item)) {
          return *err;
        } else {
          return body;
        }
      }
    });
    if (std::holds_alternative<std::monostate>(outcome)) return raise_message(kNoStream);
    if (auto *err = std::get_if<halvane::RequestError>(&outcome)) return raise_request_error(*err);
    return byte_value(form, std::get<std::vector<uint8_t>>(outcome));
  });
}

}  // namespace

PyObject *next_body(PyObject *self, PyObject *args, PyObject *kwargs) {
  return next_body_as(ByteForm::List, "next_body", self, args, kwargs);
}

PyObject *next_body_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return next_body_as(ByteForm::Bytes, "next_body_bytes", self, args, kwargs);
}

PyObject *read_body(PyObject *self, PyObject *args, PyObject *kwargs) {
  return read_body_as(ByteForm::List, "read_body", self, args, kwargs);
}

PyObject *read_body_bytes(PyObject *self, PyObject *args, PyObject *kwargs) {
  return read_body_as(ByteForm::Bytes, "read_body_bytes", self, args, kwargs);
}

}  // namespace request_methods

namespace {

using namespace request_methods;

PyMethodDef request_method_table[] = {
    noargs_method("start", start),
    args_method("start_stream", start_stream),
    args_method("await_response", await_response),
    args_method("next_body", next_body),
    args_method("read_body", read_body),
    args_method("next_body_bytes", next_body_bytes),
    args_method("read_body_bytes", read_body_bytes),
    args_method("upload_write", upload_write),
    args_method("upload_finish", upload_finish),
    noargs_method("resume_read", resume_read),
    noargs_method("cancel", cancel),
    noargs_method("is_finished", is_finished),
    noargs_method("cache_state", cache_state),
    noargs_method("follow_redirect", follow_redirect),
    noargs_method("take_redirects", take_redirects),
    args_method("wait_redirect", wait_redirect),
    args_method("wait_manual", wait_manual, wait_manual_doc),
    args_method("attach_async", attach_async),
    args_method("start_async", start_async),
    noargs_method("poll_event", poll_event),
    args_method("poll_events", poll_events),
    args_method("poll_events_bytes", poll_events_bytes),
    args_method("start_waker", start_waker),
    noargs_method("detach_callback", detach_callback),
    kMethodsEnd,
};

}  // namespace

PyType_Spec *request_type_spec() {
  return native_type_spec<PyRequestValue>({"builtins.PyRequest", request_method_table});
}

}  // namespace strandel
