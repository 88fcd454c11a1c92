#include "module/py_engine.h"

#include "module/args.h"
#include "module/engine_options.h"
#include "module/errors.h"
#include "module/pyref.h"
#include "module/types.h"

namespace strandel {
namespace {

constexpr const char *kNewParams[] = {
    "impersonate",       "proxy",          "verify",         "ca_pem",       "user_agent",
    "accept_language",   "proxy_username", "proxy_password", "http_version", "cache",
    "profile_namespace",
};
constexpr ParamSpec kNewSpec{"PyEngine", "__new__", kNewParams, 11, 0};

PyObject *engine_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return entry([&]() -> PyObject * {
    EngineOptions options;
    ArgParser p(kNewSpec, args, kwargs);
    if (!p.ok() || !p.get(0, options.impersonate, to_optional_text) ||
        !p.get(1, options.proxy, to_optional_text) || !p.get(2, options.verify, to_flag) ||
        !p.get(3, options.ca_pem, to_optional_bytes) ||
        !p.get(4, options.user_agent, to_optional_text) ||
        !p.get(5, options.accept_language, to_optional_text) ||
        !p.get(6, options.proxy_username, to_optional_text) ||
        !p.get(7, options.proxy_password, to_optional_text) ||
        !p.get(8, options.http_version, to_optional_text) || !p.get(9, options.cache, to_flag) ||
        !p.get(10, options.profile_namespace, to_optional_text))
      return nullptr;

    auto config = engine_config(std::move(options));
    if (!config) return nullptr;
    auto engine = halvane::Engine::create(std::move(*config));
    if (!engine) return raise_error(engine.error());
    // On a failed allocation the engine is dropped with the value.
    return wrap_native(type, PyEngineValue{std::move(engine).value()});
  });
}

PyObject *engine_abi_version(PyObject *, PyObject *) {
  return entry([] { return PyLong_FromLong(HV_ABI_VERSION); });
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
    {"abi_version", engine_abi_version, METH_NOARGS | METH_STATIC, nullptr},
    {"core_version", engine_core_version, METH_NOARGS | METH_STATIC, nullptr},
    {"request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_request)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"websocket", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_websocket)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(native_dealloc<PyEngineValue>)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {"builtins.PyEngine", native_basicsize<PyEngineValue>(), 0,
                           Py_TPFLAGS_DEFAULT, engine_slots};

}  // namespace

PyType_Spec *engine_type_spec() { return &engine_spec; }

}  // namespace strandel
