// Placeholder, replaced by the real binding.
#include "module/args.h"
namespace strandel {
ArgParser::ArgParser(const ParamSpec &spec, PyObject *, PyObject *) : spec_(spec) { ok_ = true; }
bool ArgParser::prefix_type_error(size_t, bool c) { return c; }
bool to_optional_text(PyObject *, std::optional<std::string> &) { return true; }
bool to_flag(PyObject *, bool &) { return true; }
bool to_optional_bytes(PyObject *, std::optional<std::vector<uint8_t>> &) { return true; }
}  // namespace strandel
