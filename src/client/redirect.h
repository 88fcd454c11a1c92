// One redirect the Core reported, in the order reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvane {

struct Redirect {
  int32_t status = 0;
  std::vector<uint8_t> headers;  // raw header block, unparsed
  std::string first_text;        // lossy UTF-8
  std::string second_text;       // lossy UTF-8
};

}  // namespace halvane
