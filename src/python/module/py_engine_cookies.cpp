// PyEngine.cookies(), set_cookie(...) and delete_cookies(...): the engine's
// own jar, through the Core's "cookies" extension.
#include "client/cookies.h"
#include "python/module/args.h"
#include "python/module/errors.h"
#include "python/module/extension_args.h"
#include "python/module/gil.h"
#include "python/module/py_engine.h"
#include "python/module/pyref.h"
#include "python/module/types.h"

namespace strandel {
namespace {

constexpr char kCookies[] = "cookies";

PyObject *text_of(const std::string &s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// (name, value, domain, path, secure, http_only, expires, host_only)
PyObject *cookie_tuple(const halvane::Cookie &c) {
  PyRef expires =
      c.expires ? PyRef::steal(PyLong_FromLongLong(*c.expires)) : PyRef::borrow(Py_None);
  PyRef items[] = {PyRef::steal(text_of(c.name)),
                   PyRef::steal(text_of(c.value)),
                   PyRef::steal(text_of(c.domain)),
                   PyRef::steal(text_of(c.path)),
                   PyRef::steal(PyBool_FromLong(c.secure)),
                   PyRef::steal(PyBool_FromLong(c.http_only)),
                   std::move(expires),
                   PyRef::steal(PyBool_FromLong(c.host_only))};
  PyRef tuple = PyRef::steal(PyTuple_New(8));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < 8; ++i) {
    if (!items[i]) return nullptr;
    PyTuple_SetItem(tuple.get(), i, items[i].release());  // steals
  }
  return tuple.release();
}

}  // namespace

PyObject *engine_cookies(PyObject *self, PyObject *) {
  return entry([&]() -> PyObject * {
    if (!require_extension(halvane::Extension::Cookies, kCookies)) return nullptr;
    const halvane::Engine &engine = NativeObject<PyEngineValue>::of(self).engine;
    // A namespace's jar may wait for its database: not with the lock held.
    auto listed = without_gil([&] { return halvane::list_cookies(engine); });
    if (!listed) return raise_error(listed.error());
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const halvane::Cookie &c : listed.value()) {
      PyRef item = PyRef::steal(cookie_tuple(c));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject *engine_set_cookie(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    halvane::Cookie cookie;
    if (!bind_args({"PyEngine", "set_cookie"}, args, kwargs,
                   {
                       param<to_text>("name", cookie.name),
                       param<to_text>("value", cookie.value),
                       param<to_text>("domain", cookie.domain),
                       param<to_text>("path", cookie.path, std::string("/")),
                       param<to_flag>("secure", cookie.secure, false),
                       param<to_flag>("http_only", cookie.http_only, false),
                       param<to_optional_int64>("expires", cookie.expires, std::nullopt),
                       param<to_flag>("host_only", cookie.host_only, false),
                   }))
      return nullptr;
    if (!require_extension(halvane::Extension::Cookies, kCookies)) return nullptr;
    if (auto why = halvane::cookie_refusal(cookie)) {
      PyErr_SetString(PyExc_ValueError, ("cookie refused: " + *why).c_str());
      return nullptr;
    }
    if (!cookie.domain.empty() && cookie.domain.front() == '.') cookie.domain.erase(0, 1);
    const halvane::Engine &engine = NativeObject<PyEngineValue>::of(self).engine;
    const halvane::Status status = without_gil([&] { return halvane::set_cookie(engine, cookie); });
    if (!status && status.error().kind() == halvane::Error::Kind::InvalidArgument) {
      PyErr_SetString(PyExc_ValueError, "cookie refused: the jar did not take it");
      return nullptr;
    }
    if (!status) return raise_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject *engine_delete_cookies(PyObject *self, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    halvane::CookieFilter filter;
    if (!bind_args({"PyEngine", "delete_cookies"}, args, kwargs,
                   {
                       param<to_optional_text>("domain", filter.domain, std::nullopt),
                       param<to_optional_text>("path", filter.path, std::nullopt),
                       param<to_optional_text>("name", filter.name, std::nullopt),
                   }))
      return nullptr;
    if (!require_extension(halvane::Extension::Cookies, kCookies)) return nullptr;
    if (filter.domain && !filter.domain->empty() && filter.domain->front() == '.')
      filter.domain->erase(0, 1);
    const halvane::Engine &engine = NativeObject<PyEngineValue>::of(self).engine;
    auto removed = without_gil([&] { return halvane::delete_cookies(engine, filter); });
    if (!removed) return raise_error(removed.error());
    return PyLong_FromUnsignedLong(removed.value());
  });
}

}  // namespace strandel
