// PyResponse: an immutable response head (status code, raw header block).
#include "python/request/py_response.h"

#include "python/module/type_spec.h"
#include "python/module/types.h"

namespace strandel {
namespace {

PyObject *response_status_code(PyObject *self, void *) {
  return entry(
      [&] { return PyLong_FromLong(NativeObject<PyResponseValue>::of(self).status_code); });
}

PyObject *bytes_of(const std::vector<uint8_t> &v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(v.data()),
                                   static_cast<Py_ssize_t>(v.size()));
}

PyObject *response_headers(PyObject *self, void *) {
  return entry([&] { return bytes_of(NativeObject<PyResponseValue>::of(self).headers); });
}

PyObject *response_content(PyObject *self, void *) {
  return entry([&] { return bytes_of(NativeObject<PyResponseValue>::of(self).content); });
}

PyObject *response_cache_state(PyObject *self, PyObject *) {
  return entry(
      [&] { return cache_state_text(NativeObject<PyResponseValue>::of(self).cache_state); });
}

PyMethodDef response_methods[] = {
    noargs_method("cache_state", response_cache_state),
    kMethodsEnd,
};

PyGetSetDef response_getset[] = {
    {"status_code", response_status_code, nullptr, nullptr, nullptr},
    {"headers", response_headers, nullptr, nullptr, nullptr},
    {"content", response_content, nullptr, nullptr, nullptr},
    kGettersEnd,
};

}  // namespace

PyObject *cache_state_text(const std::optional<halvane::CacheState> &state) {
  if (!state) Py_RETURN_NONE;
  switch (*state) {
    case halvane::CacheState::Network:
      return PyUnicode_FromString("network");
    case halvane::CacheState::Cache:
      return PyUnicode_FromString("cache");
    case halvane::CacheState::Revalidated:
      return PyUnicode_FromString("revalidated");
  }
  Py_RETURN_NONE;
}

PyType_Spec *response_type_spec() {
  return native_type_spec<PyResponseValue>(
      {"builtins.PyResponse", response_methods, response_getset});
}

PyObject *make_py_response(halvane::Response &&response) {
  return wrap_native(
      TypeId::Response,
      PyResponseValue{std::move(response.headers), {}, response.status, response.cache_state});
}

}  // namespace strandel
