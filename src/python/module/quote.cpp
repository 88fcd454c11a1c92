// The quoted form of a rejected text, as shown in error messages.
#include <cstdio>
#include <utility>

#include "python/module/convert.h"
#include "python/module/pyref.h"

namespace strandel {
namespace {

// Characters with the Unicode property Other_Grapheme_Extend; together with
// the categories Mn and Me they make up the grapheme-extending characters.
constexpr std::pair<char32_t, char32_t> kOtherGraphemeExtend[] = {
    {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE},   {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},   {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},   {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F},
};

// Decodes one UTF-8 sequence at `pos` and advances past it; a malformed
// sequence yields U+FFFD and skips one byte.
char32_t next_code_point(const std::string &s, size_t &pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos);
  size_t extra = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07;
  } else {
    ++pos;
    return 0xFFFD;
  }
  if (pos + extra >= s.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (size_t i = 1; i <= extra; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    c = (c << 6) | (byte(pos + i) & 0x3F);
  }
  pos += extra + 1;
  return c;
}

// Asks the interpreter about one character; a failed call counts as false.
bool ask(char32_t c, bool (*question)(PyObject *ch)) {
  PyRef ch = PyRef::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  const bool answer = ch && question(ch.get());
  if (PyErr_Occurred()) PyErr_Clear();
  return answer;
}

bool is_printable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c < 0x7F;
  return ask(c, [](PyObject *ch) {
    PyRef result = PyRef::steal(PyObject_CallMethod(ch, "isprintable", nullptr));
    return result && PyObject_IsTrue(result.get()) == 1;
  });
}

bool is_grapheme_extend(char32_t c) {
  if (c < 0x80) return false;
  for (const auto &[first, last] : kOtherGraphemeExtend)
    if (c >= first && c <= last) return true;
  return ask(c, [](PyObject *ch) {
    PyRef unicodedata = PyRef::steal(PyImport_ImportModule("unicodedata"));
    if (!unicodedata) return false;
    PyRef category = PyRef::steal(PyObject_CallMethod(unicodedata.get(), "category", "O", ch));
    return category && (PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
                        PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0);
  });
}

void append_utf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string quoted(const std::string &utf8) {
  std::string out = "\"";
  size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t c = next_code_point(utf8, pos);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (!is_printable(c) || is_grapheme_extend(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      append_utf8(out, c);
    }
  }
  out += '"';
  return out;
}

}  // namespace strandel
