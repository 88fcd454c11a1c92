// Lossy UTF-8 copies of the Core's texts.
#include "client/websocket_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using halvane::websocket_internal::copy_string;

struct TextCase {
  std::string input;
  std::string expected;
};

class WebSocketText : public ::testing::TestWithParam<TextCase> {};

TEST_P(WebSocketText, ReplacesEachInvalidSequence) {
  const std::string &in = GetParam().input;
  EXPECT_EQ(copy_string(reinterpret_cast<const uint8_t *>(in.data()), uint32_t(in.size())),
            GetParam().expected);
}

// One U+FFFD per maximal ill-formed subpart, as the Unicode standard
// recommends and common decoders do.
INSTANTIATE_TEST_SUITE_P(
    Cases, WebSocketText,
    ::testing::Values(
        TextCase{"", ""}, TextCase{"plain", "plain"},
        TextCase{std::string("a\0b", 3), std::string("a\0b", 3)},
        TextCase{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        TextCase{"\xFF", "\uFFFD"}, TextCase{"a\x80z", "a\uFFFDz"},
        TextCase{"\xC0\xAF", "\uFFFD\uFFFD"},                      // overlong
        TextCase{"\xE0\x80\xAF", "\uFFFD\uFFFD\uFFFD"},            // overlong
        TextCase{"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},            // surrogate
        TextCase{"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        TextCase{"\xE2\x82", "\uFFFD"},                            // truncated at the end
        TextCase{"\xE2\x82z", "\uFFFDz"},                          // truncated before ASCII
        TextCase{"\xF0\x9F\x98\xC3\xA9", "\uFFFD\xC3\xA9"},        // truncated before a valid one
        TextCase{"\xF8\x88\x80\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"}));

TEST(WebSocketTextEmpty, ZeroLengthDoesNotReadThePointer) {
  EXPECT_EQ(copy_string(reinterpret_cast<const uint8_t *>(uintptr_t{1}), 0), "");
  EXPECT_EQ(copy_string(nullptr, 0), "");
}

}  // namespace
