// Argument binding and value conversion shared by every method.
//
// A method describes its parameters once (ParamSpec); ArgParser binds the
// positional and keyword arguments to one slot per parameter and converts the
// slots in parameter order. A conversion that fails with TypeError is
// re-raised as "argument '<name>': <message>"; other errors pass unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/duration.h"
#include "core/request_config.h"
#include "module/python.h"

namespace strandel {

struct ParamSpec {
  const char *class_name;     // "PyEngine"
  const char *function_name;  // "request"
  const char *const *names;   // every parameter, positional or keyword
  size_t count;
  size_t required;  // the first `required` parameters have no default
};

// Binds the argument list; on failure a TypeError is pending and ok() is false.
class ArgParser {
 public:
  static constexpr size_t kMaxParams = 16;

  ArgParser(const ParamSpec &spec, PyObject *args, PyObject *kwargs);
  bool ok() const { return ok_; }
  // The bound object of parameter `i` (borrowed), NULL when not given.
  PyObject *slot(size_t i) const { return slots_[i]; }

  // Converts parameter `i` with `convert` when it was given; an absent
  // parameter leaves `out` (its default) untouched. False with an exception.
  template <typename T>
  bool get(size_t i, T &out, bool (*convert)(PyObject *, T &)) {
    if (slots_[i] == nullptr) return true;
    return prefix_type_error(i, convert(slots_[i], out));
  }

 private:
  bool prefix_type_error(size_t i, bool converted);
  const ParamSpec &spec_;
  PyObject *slots_[kMaxParams] = {};
  bool ok_ = false;
};

// Conversions. Each returns false with a Python exception pending.
bool to_text(PyObject *obj, std::string &out);
bool to_optional_text(PyObject *obj, std::optional<std::string> &out);
bool to_flag(PyObject *obj, bool &out);
bool to_optional_real(PyObject *obj, std::optional<double> &out);
bool to_optional_bytes(PyObject *obj, std::optional<std::vector<uint8_t>> &out);
bool to_bytes(PyObject *obj, std::vector<uint8_t> &out);
bool to_optional_headers(PyObject *obj, std::optional<std::vector<halvane::Header>> &out);
bool to_u16(PyObject *obj, uint16_t &out);
bool to_u64(PyObject *obj, uint64_t &out);
// A poll limit: None gives 64, 0 is raised to 1, above 2^32 - 1 is an
// OverflowError.
bool to_poll_limit(PyObject *obj, uint64_t &out);
// Any object, borrowed.
bool to_object(PyObject *obj, PyObject *&out);

// Seconds as a duration, exactly: nanoseconds rounded half to even, negative
// zero as zero. Absent stays absent. NaN, infinities and negative values raise
// RuntimeError "timeout must be a finite non-negative number"; 2^64 seconds
// or more raise OverflowError.
bool to_duration(std::optional<double> seconds, std::optional<halvane::Duration> &out);

// The quoted form of a rejected text: "..." with \" \\ \t \r \n \0 escaped
// and \u{hex} for non-printable and grapheme-extending characters.
std::string quoted(const std::string &utf8);

}  // namespace strandel
