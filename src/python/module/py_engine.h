// PyEngine: the Python class through which requests and WebSockets are made.
#pragma once

#include "client/engine.h"
#include "python/module/python.h"

namespace strandel {

// The native value of a PyEngine instance.
struct PyEngineValue {
  halvane::Engine engine;
};

// PyEngine.request(...) and PyEngine.websocket(...).
PyObject *engine_request(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *engine_websocket(PyObject *self, PyObject *args, PyObject *kwargs);

// PyEngine.cookies(), set_cookie(...), delete_cookies(...) (py_engine_cookies.cpp).
PyObject *engine_cookies(PyObject *self, PyObject *);
PyObject *engine_set_cookie(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *engine_delete_cookies(PyObject *self, PyObject *args, PyObject *kwargs);

}  // namespace strandel
