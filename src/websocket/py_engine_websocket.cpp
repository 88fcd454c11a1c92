#include "module/errors.h"
#include "module/py_engine.h"

namespace strandel {

PyObject *engine_websocket(PyObject *, PyObject *, PyObject *) {
  return entry([] { return raise_message("PyEngine.websocket is not available yet"); });
}

}  // namespace strandel
