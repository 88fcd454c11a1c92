#include "python/module/py_engine.h"

#include "python/module/args.h"
#include "python/module/engine_options.h"
#include "python/module/errors.h"
#include "python/module/pyref.h"
#include "python/module/type_spec.h"
#include "python/module/types.h"

namespace strandel {
namespace {

PyObject *engine_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    EngineOptions o;
    if (!bind_args(
            {"PyEngine", "__new__"}, args, kwargs,
            {
                param<to_optional_text>("impersonate", o.impersonate, std::nullopt),
                param<to_optional_text>("proxy", o.proxy, std::nullopt),
                param<to_flag>("verify", o.verify, true),
                param<to_optional_bytes>("ca_pem", o.ca_pem, std::nullopt),
                param<to_optional_text>("user_agent", o.user_agent, std::nullopt),
                param<to_optional_text>("accept_language", o.accept_language, std::nullopt),
                param<to_optional_text>("proxy_username", o.proxy_username, std::nullopt),
                param<to_optional_text>("proxy_password", o.proxy_password, std::nullopt),
                param<to_optional_text>("http_version", o.http_version, std::nullopt),
                param<to_flag>("cache", o.cache, true),
                param<to_optional_text>("profile_namespace", o.profile_namespace, std::nullopt),
            }))
      return nullptr;

    auto config = engine_config(std::move(o));
    if (!config) return nullptr;
    auto engine = halvane::Engine::create(std::move(*config));
    if (!engine) return raise_error(engine.error());
    // On a failed allocation the engine is dropped with the value.
    return wrap_native(type, PyEngineValue{std::move(engine).value()});
  });
}

PyObject *engine_abi_version(PyObject *, PyObject *) {
  return entry([] { return PyLong_FromLong(halvane::Engine::abi_version()); });
}

PyObject *engine_core_version(PyObject *, PyObject *) {
  return entry([]() -> PyObject * {
    auto version = halvane::Engine::core_version();
    if (!version) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(version->data(), static_cast<Py_ssize_t>(version->size()),
                                "replace");
  });
}

PyMethodDef engine_methods[] = {
    noargs_method("abi_version", engine_abi_version, METH_STATIC),
    noargs_method("core_version", engine_core_version, METH_STATIC),
    args_method("request", engine_request),
    args_method("websocket", engine_websocket),
    noargs_method("cookies", engine_cookies),
    args_method("set_cookie", engine_set_cookie),
    args_method("delete_cookies", engine_delete_cookies),
    kMethodsEnd,
};

}  // namespace

PyType_Spec *engine_type_spec() {
  return native_type_spec<PyEngineValue>(
      {"builtins.PyEngine", engine_methods, nullptr, engine_new});
}

}  // namespace strandel
