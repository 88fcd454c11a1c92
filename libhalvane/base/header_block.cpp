#include "base/header_block.h"

#include <algorithm>
#include <cctype>

namespace hvcore {
namespace {

std::string_view strip_eol(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

HeadBuilder::Step HeadBuilder::add(std::string_view line) {
  const std::string_view content = strip_eol(line);
  if (content.starts_with("HTTP/")) {
    block_.assign(content);
    block_ += "\r\n";
    status_ = parse_status_line(content);
    open_ = true;
    return Step::Partial;
  }
  if (!open_) return Step::Ignored;
  block_.append(content);
  block_ += "\r\n";
  if (!content.empty()) return Step::Partial;
  open_ = false;
  return Step::Complete;
}

int parse_status_line(std::string_view line) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return 0;
  std::string_view rest = line.substr(space + 1);
  if (rest.size() < 3) return 0;
  int status = 0;
  for (int i = 0; i < 3; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return 0;
    status = status * 10 + (rest[i] - '0');
  }
  if (rest.size() > 3 && rest[3] != ' ') return 0;
  return status;
}

namespace {

// Calls `found` with the trimmed value of each field called `name` until it
// returns false.
template <typename Found>
void each_header(std::string_view block, std::string_view name, Found found) {
  size_t pos = block.find("\r\n");  // skip the status line
  while (pos != std::string_view::npos) {
    pos += 2;
    const size_t end = block.find("\r\n", pos);
    if (end == std::string_view::npos) break;
    const std::string_view line = block.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && iequals(trim(line.substr(0, colon)), name) &&
        !found(trim(line.substr(colon + 1))))
      return;
    pos = end;
  }
}

}  // namespace

std::optional<std::string> find_header(std::string_view block, std::string_view name) {
  std::optional<std::string> value;
  each_header(block, name, [&](std::string_view v) {
    value.emplace(v);
    return false;
  });
  return value;
}

std::vector<std::string> find_headers(std::string_view block, std::string_view name) {
  std::vector<std::string> values;
  each_header(block, name, [&](std::string_view v) {
    values.emplace_back(v);
    return true;
  });
  return values;
}

bool is_chunked(std::string_view block) {
  auto te = find_header(block, "transfer-encoding");
  if (!te) return false;
  std::string lowered(*te);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), lower);
  return lowered.find("chunked") != std::string::npos;
}

}  // namespace hvcore
