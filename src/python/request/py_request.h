// PyRequest: one HTTP request driven from Python, blocking or by polling.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "client/request.h"
#include "client/upload_length.h"
#include "python/module/python.h"

namespace strandel {

struct PyRequestValue {
  PyRequestValue(halvane::Request r, std::optional<uint64_t> upload_length)
      : request(std::move(r)), upload_length(upload_length) {}

  halvane::Request request;
  // A streamed body's declared Content-Length, and what was written of it.
  // The mutex is only held to count.
  std::mutex upload_length_mutex;
  halvane::UploadLength upload_length;
  // Set from the first notification until the next poll; shared with the
  // loop notifier.
  std::shared_ptr<std::atomic<bool>> notify_pending = std::make_shared<std::atomic<bool>>(false);
  // The future of a started request until its head is taken out.
  std::mutex pending_response_mutex;
  std::optional<halvane::ResponseFuture> pending_response;
  // The body stream once a head was obtained; never emptied again.
  std::mutex body_stream_mutex;
  std::optional<halvane::ResponseStream> body_stream;
  // A terminal poll event was reported.
  std::atomic<bool> terminal_reported{false};

  // Takes the pending future out (empty when there is none).
  std::optional<halvane::ResponseFuture> take_pending();
  void store_pending(halvane::ResponseFuture future);
  void store_stream(halvane::ResponseStream stream);
  // Drops the event callback and the pending future. Never fails.
  void finish();
};

// The native value of a PyRequest object.
PyRequestValue &request_value(PyObject *self);
// A new PyRequest wrapping a created (not started) request.
// `upload_length`: what a streamed body's headers declare (upload_length.h).
PyObject *make_py_request(halvane::Request request,
                          std::optional<uint64_t> upload_length = std::nullopt);

// Methods defined beside their topic, collected in the type's method table.
namespace request_methods {
PyObject *start(PyObject *self, PyObject *);
PyObject *start_stream(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *await_response(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *next_body(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *read_body(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *next_body_bytes(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *read_body_bytes(PyObject *self, PyObject *args, PyObject *kwargs);

PyObject *upload_write(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *upload_finish(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *resume_read(PyObject *self, PyObject *);
PyObject *cancel(PyObject *self, PyObject *);
PyObject *is_finished(PyObject *self, PyObject *);
PyObject *cache_state(PyObject *self, PyObject *);

PyObject *follow_redirect(PyObject *self, PyObject *);
PyObject *take_redirects(PyObject *self, PyObject *);
PyObject *wait_redirect(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *wait_manual(PyObject *self, PyObject *args, PyObject *kwargs);
extern const char wait_manual_doc[];

PyObject *attach_async(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *start_async(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *poll_event(PyObject *self, PyObject *);
PyObject *poll_events(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *poll_events_bytes(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *start_waker(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *detach_callback(PyObject *self, PyObject *);
}  // namespace request_methods

}  // namespace strandel
