#include "base/header_block.h"

namespace hvcore {
namespace {

std::string_view strip_eol(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

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

std::string_view status_line(std::string_view head) {
  const size_t end = head.find("\r\n");
  return end == std::string_view::npos ? head : head.substr(0, end);
}

std::string_view head_fields(std::string_view head) {
  const size_t end = head.find("\r\n");
  return end == std::string_view::npos ? std::string_view() : head.substr(end + 2);
}

std::optional<std::string> find_header(std::string_view head, std::string_view name) {
  std::optional<std::string> value;
  each_field(head_fields(head), [&](const FieldLine &field) {
    if (!value && iequals(field.name, name)) value.emplace(field.value);
  });
  return value;
}

std::vector<std::string> find_headers(std::string_view head, std::string_view name) {
  std::vector<std::string> values;
  each_field(head_fields(head), [&](const FieldLine &field) {
    if (iequals(field.name, name)) values.emplace_back(field.value);
  });
  return values;
}

bool is_chunked(std::string_view head) {
  const auto te = find_header(head, "transfer-encoding");
  return te && lower(*te).find("chunked") != std::string::npos;
}

std::string field_block(const std::vector<HeaderField> &fields) {
  std::string out;
  for (const HeaderField &f : fields)
    out.append(f.name).append(": ").append(f.value).append("\r\n");
  out += "\r\n";
  return out;
}

std::optional<std::vector<HeaderField>> parse_field_block(std::string_view block) {
  if (!block.ends_with("\r\n") || block.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<HeaderField> fields;
  size_t pos = 0;
  for (;;) {
    const size_t end = block.find("\r\n", pos);
    if (end == pos) break;  // the empty line
    const std::string_view line = block.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    fields.push_back(
        {std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1)))});
    pos = end + 2;
  }
  if (pos + 2 != block.size()) return std::nullopt;
  return fields;
}

}  // namespace hvcore
