// Builds the raw header block of a response head from the lines libcurl hands
// to CURLOPT_HEADERFUNCTION, and reads single fields out of a finished block.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The first value of a field (name compared without case), trimmed.
std::optional<std::string> find_header(std::string_view block, std::string_view name);

// Every value of a field, trimmed, in the order of the block.
std::vector<std::string> find_headers(std::string_view block, std::string_view name);

// True when the head says its body is sent with chunked transfer coding.
bool is_chunked(std::string_view block);

bool iequals(std::string_view a, std::string_view b);

}  // namespace hvcore
