// Header blocks: the raw response heads HeadBuilder makes from the lines
// libcurl hands to CURLOPT_HEADERFUNCTION (a status line, field lines, each
// line ending in CRLF, and the empty line), and field blocks, the same
// without the status line (what the cache keeps of a request's Vary fields).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/http_text.h"
#include "base/settings.h"

namespace hvcore {

class HeadBuilder {
 public:
  enum class Step {
    Partial,   // the line belongs to a head that is not finished yet
    Complete,  // the empty line: block() and status() hold a whole head
    Ignored,   // outside any head (trailers after the body)
  };

  // Feeds one line; every line of the block ends in CRLF whatever the peer
  // used.
  Step add(std::string_view line);

  int status() const { return status_; }
  const std::string &block() const { return block_; }

 private:
  std::string block_;
  int status_ = 0;
  bool open_ = false;
};

// The status code of a status line ("HTTP/1.1 200 OK"), or 0.
int parse_status_line(std::string_view line);

// A head's status line, without its CRLF.
std::string_view status_line(std::string_view head);

// The field block of a head: everything after its status line.
std::string_view head_fields(std::string_view head);

// One field line: its name and value trimmed, and the line without its CRLF.
struct FieldLine {
  std::string_view name;
  std::string_view value;
  std::string_view line;
};

// Calls `f` with each field line of a field block, in order, until the empty
// line. Lines that start with whitespace (obsolete folding) or lack a colon
// are skipped.
template <typename F>
void each_field(std::string_view fields, F f) {
  size_t pos = 0;
  for (;;) {
    const size_t end = fields.find("\r\n", pos);
    if (end == std::string_view::npos || end == pos) return;
    const std::string_view line = fields.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && line.front() != ' ' && line.front() != '\t')
      f(FieldLine{trim(line.substr(0, colon)), trim(line.substr(colon + 1)), line});
    pos = end + 2;
  }
}

// The first value of a head's field (name compared without case), trimmed.
std::optional<std::string> find_header(std::string_view head, std::string_view name);

// Every value of a head's field, trimmed, in the order of the block.
std::vector<std::string> find_headers(std::string_view head, std::string_view name);

// True when the head says its body is sent with chunked transfer coding.
bool is_chunked(std::string_view head);

// A field block of `fields`, "name: value" each; names must be tokens and
// values free of CR, LF and NUL.
std::string field_block(const std::vector<HeaderField> &fields);

// The fields of a block that field_block could have made; nothing for
// anything else (no empty line at its end, a line without a name, a NUL).
std::optional<std::vector<HeaderField>> parse_field_block(std::string_view block);

}  // namespace hvcore
