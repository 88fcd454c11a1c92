#include "module/errors.h"
#include "module/py_engine.h"

namespace strandel {

PyObject *engine_request(PyObject *, PyObject *, PyObject *) {
  return entry([] { return raise_message("PyEngine.request is not available yet"); });
}

}  // namespace strandel
