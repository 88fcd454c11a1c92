// Streaming a request body, flow control, cancellation and completion.
#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/gil.h"
#include "python/module/pyvalues.h"
#include "python/request/py_request.h"
#include "python/request/py_response.h"

namespace strandel::request_methods {

namespace {

PyObject *none_or_raise(const halvane::Status &status) {
  if (!status) return raise_error(status.error());
  Py_RETURN_NONE;
}

// Counts a write against the declared Content-Length: the message for one
// that breaks it. The Core fails the request itself when it gets the write.
std::optional<std::string> count_upload(PyRequestValue &value, uint64_t len, bool final_chunk) {
  std::lock_guard lock(value.upload_length_mutex);
  return value.upload_length.admit(len, final_chunk);
}

PyObject *none_or_raise(const halvane::Status &status, const std::optional<std::string> &broke) {
  if (broke) return raise_message(*broke);
  return none_or_raise(status);
}

}  // namespace

PyObject *upload_write(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    ByteInput data;
    bool final_chunk{};
    if (!bind_args(
            {"PyRequest", "upload_write"}, args, kwargs,
            {param<to_byte_input>("data", data), param<to_flag>("final_chunk", final_chunk)}))
      return nullptr;
    PyRequestValue &value = request_value(self);
    const auto broke = count_upload(value, data.view().size(), final_chunk);
    // The Core copies or consumes the data before the call returns.
    const halvane::Status status =
        without_gil([&] { return value.request.upload_write(data.view(), final_chunk); });
    return none_or_raise(status, broke);
  });
}

PyObject *upload_finish(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    if (!no_args({"PyRequest", "upload_finish"}, args, kwargs)) return nullptr;
    PyRequestValue &value = request_value(self);
    const auto broke = count_upload(value, 0, true);
    const halvane::Status status = without_gil([&] { return value.request.upload_finish(); });
    return none_or_raise(status, broke);
  });
}

PyObject *resume_read(PyObject *self, PyObject *) {
  return entry([&] { return none_or_raise(request_value(self).request.resume_read()); });
}

PyObject *cancel(PyObject *self, PyObject *) {
  return entry([&] {
    PyRequestValue &value = request_value(self);
    const halvane::Status status = value.request.cancel();
    // The request is finished for this object whatever the Core answered.
    value.finish();
    return none_or_raise(status);
  });
}

PyObject *cache_state(PyObject *self, PyObject *) {
  return entry([&] { return cache_state_text(request_value(self).request.cache_state()); });
}

PyObject *is_finished(PyObject *self, PyObject *) {
  return entry([&] { return PyBool_FromLong(request_value(self).request.is_finished()); });
}

}  // namespace strandel::request_methods
