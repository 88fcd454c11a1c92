// Conversions of Python arguments into native values. Each has the shape
// `bool(PyObject *, T &)` that a parameter table names, and returns false
// with a Python exception pending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/duration.h"
#include "client/request_config.h"
#include "python/module/python.h"

namespace strandel {

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

// None (leaves `out` as it is), or a sequence whose items convert as text (a
// str is a sequence of one-character strings). At most `max_items + 1` items
// are converted: the one item too many already tells the caller to refuse
// the list, so the rest is never looked at.
bool to_optional_text_list(PyObject *obj, size_t max_items,
                           std::optional<std::vector<std::string>> &out);
template <size_t MaxItems>
bool to_optional_text_list(PyObject *obj, std::optional<std::vector<std::string>> &out) {
  return to_optional_text_list(obj, MaxItems, out);
}

// Seconds as a duration, exactly: nanoseconds rounded half to even, negative
// zero as zero. Absent stays absent. NaN, infinities and negative values raise
// RuntimeError "timeout must be a finite non-negative number"; 2^64 seconds
// or more raise OverflowError.
bool to_duration(std::optional<double> seconds, std::optional<halvane::Duration> &out);

// The quoted form of a rejected text: "..." with \" \\ \t \r \n \0 escaped
// and \u{hex} for non-printable and grapheme-extending characters.
std::string quoted(const std::string &utf8);

}  // namespace strandel
