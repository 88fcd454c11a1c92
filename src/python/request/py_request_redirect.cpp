// Redirect control: take, wait for and follow the redirects the Core reports.
#include <chrono>

#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/gil.h"
#include "python/module/pyref.h"
#include "python/module/pyvalues.h"
#include "python/module/slot_lock.h"
#include "python/request/py_request.h"

namespace strandel::request_methods {

const char wait_manual_doc[] =
    "Blocks until the Core reports a deferred redirect or the response\n"
    "headers arrive, whichever happens first.  See the modern binding for the\n"
    "reasoning: waiting only on the response would hang in manual mode.";

namespace {

// A timeout left out or None waits up to one day.
constexpr halvane::Duration kDefaultWait{86'400, 0};
// The head is looked at again at least this often while waiting for either.
constexpr auto kHeadPoll = std::chrono::milliseconds(50);

// (status, header block as ints, first text, second text)
PyObject *redirect_tuple(const halvane::Redirect &r) {
  PyRef headers = PyRef::steal(byte_list(r.headers));
  PyRef first = PyRef::steal(text(r.first_text));
  PyRef second = PyRef::steal(text(r.second_text));
  if (!headers || !first || !second) return nullptr;
  return Py_BuildValue("(iOOO)", r.status, headers.get(), first.get(), second.get());
}

// The optional timeout argument of the two waiting methods.
bool parse_timeout(const char *name, PyObject *args, PyObject *kwargs, halvane::Duration &timeout) {
  std::optional<double> seconds;
  if (!bind_args({"PyRequest", name}, args, kwargs,
                 {param<to_optional_real>("timeout", seconds, std::nullopt)}))
    return false;
  std::optional<halvane::Duration> duration;
  if (!to_duration(seconds, duration)) return false;
  timeout = duration.value_or(kDefaultWait);
  return true;
}

}  // namespace

PyObject *follow_redirect(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    const halvane::Status status = request_value(self).request.follow_redirect();
    if (!status) return raise_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject *take_redirects(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    PyRequestValue &value = request_value(self);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    while (auto redirect = value.request.take_redirect()) {
      PyRef item = PyRef::steal(redirect_tuple(*redirect));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject *wait_redirect(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    halvane::Duration timeout;
    if (!parse_timeout("wait_redirect", args, kwargs, timeout)) return nullptr;
    PyRequestValue &value = request_value(self);
    auto result = without_gil([&] { return value.request.wait_for_redirect(timeout); });
    if (!result) return raise_error(result.error());
    if (!result.value()) Py_RETURN_NONE;
    return redirect_tuple(*result.value());
  });
}

PyObject *wait_manual(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    halvane::Duration timeout;
    if (!parse_timeout("wait_manual", args, kwargs, timeout)) return nullptr;
    PyRequestValue &value = request_value(self);

    struct Head {
      int32_t status;
      std::vector<uint8_t> headers;
    };
    using Outcome = std::variant<std::monostate, halvane::Redirect, Head, halvane::Error,
                                 halvane::RequestError>;
    Outcome outcome = without_gil([&]() -> Outcome {
      const auto deadline = std::chrono::steady_clock::now() + timeout.to_chrono();
      // A failure that woke the wait. The head is looked at once more first,
      // so that a failed request is reported with its net error and finished.
      std::optional<halvane::Error> woken_by_failure;
      for (;;) {
        if (auto redirect = value.request.take_redirect()) return std::move(*redirect);

        halvane::TakeResult head = halvane::NotReady{};
        {
          std::lock_guard lock(value.pending_response_mutex);
          if (value.pending_response) head = value.pending_response->try_take();
        }
        if (!std::holds_alternative<halvane::NotReady>(head)) {
          {
            std::lock_guard lock(value.pending_response_mutex);
            auto old = std::exchange(value.pending_response, {});
          }
          if (auto *response = std::get_if<halvane::Response>(&head)) {
            Head result{response->status, std::move(response->headers)};
            {
              std::lock_guard lock(value.body_stream_mutex);
              auto old = std::exchange(value.body_stream, std::move(response->body));
            }
            return result;
          }
          // The removed notifier's Python references are queued until the
          // lock is held again.
          value.finish();
          return std::get<halvane::RequestError>(std::move(head));
        }

        if (woken_by_failure) return *woken_by_failure;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::monostate{};
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        const auto step = std::min<std::chrono::nanoseconds>(left, kHeadPoll);
        auto waited =
            value.request.wait_for_redirect({static_cast<uint64_t>(step.count() / 1'000'000'000),
                                             static_cast<uint32_t>(step.count() % 1'000'000'000)});
        if (!waited)
          woken_by_failure = waited.error();
        else if (waited.value())
          return std::move(*waited.value());
      }
    });

    if (auto *err = std::get_if<halvane::Error>(&outcome)) return raise_error(*err);
    if (auto *err = std::get_if<halvane::RequestError>(&outcome)) return raise_request_error(*err);
    if (auto *redirect = std::get_if<halvane::Redirect>(&outcome)) {
      PyRef tuple = PyRef::steal(redirect_tuple(*redirect));
      if (!tuple) return nullptr;
      return Py_BuildValue("(OO)", tuple.get(), Py_None);
    }
    if (auto *head = std::get_if<Head>(&outcome)) {
      PyRef headers = PyRef::steal(byte_list(head->headers));
      if (!headers) return nullptr;
      return Py_BuildValue("(O(iO))", Py_None, head->status, headers.get());
    }
    return Py_BuildValue("(OO)", Py_None, Py_None);
  });
}

}  // namespace strandel::request_methods
