// Every failure becomes a Python exception here. Each raise_* function sets
// the pending exception and returns NULL for the caller to pass on.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string>

#include "client/error.h"
#include "python/module/gil.h"
#include "python/module/python.h"

namespace strandel {

// RuntimeError with the error's display text.
PyObject *raise_error(const halvane::Error &error);
PyObject *raise_request_error(const halvane::RequestError &error);
PyObject *raise_message(const std::string &message);
PyObject *raise_message(const char *message);

// A broken invariant of the native code: an exception of the internal-fault
// class (derived from BaseException), never an abort.
PyObject *raise_internal_fault(const std::string &message);

// Runs a method body that returns a new reference or NULL; a C++ exception
// escaping it becomes an internal fault instead of unwinding into Python.
// The one exception is the thread exit that an exiting interpreter forces on
// a thread asking for its lock from Python code run here: swallowing that
// aborts the process, so it passes on (hence no noexcept).
template <typename F>
PyObject *guarded(F &&body) {
  try {
    return body();
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (const std::exception &e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault("unknown native failure");
  }
}

// A Python-visible entry: counts the lock depth, drains pending releases and
// guards the body.
template <typename F>
PyObject *entry(F &&body) {
  ModuleEntry entered;
  return guarded(std::forward<F>(body));
}

}  // namespace strandel
