#include <gtest/gtest.h>

#include <string>

#include "document/request_format.h"

namespace quillpost::document {
namespace {

TEST(CheckValue, AcceptsEveryXmlCharacter) {
  EXPECT_NO_THROW(CheckValue(""));
  EXPECT_NO_THROW(CheckValue("\t\n\r plain ~\x7F"));
  EXPECT_NO_THROW(CheckValue(
      "\xC2\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBD"));           // U+0080 U+D7FF U+E000 U+FFFD
  EXPECT_NO_THROW(CheckValue("\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"));  // U+10000 U+10FFFF
}

TEST(CheckValue, RefusesWhatXmlCannotCarryAndSaysWhereItIs) {
  struct Case {
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {std::string("ab\0", 3), "control character U+0000 at byte 2"},
      {"\x1B[31m", "control character U+001B at byte 0"},
      {"x\x0B", "control character U+000B at byte 1"},
      {"\xEF\xBF\xBE", "character U+FFFE at byte 0"},
      {"..\xEF\xBF\xBF", "character U+FFFF at byte 2"},
      {"\xE9t\xE9", "invalid UTF-8 at byte 0"},         // Latin-1
      {"a\xC3", "invalid UTF-8 at byte 1"},             // truncated
      {"\xC0\xAF", "invalid UTF-8 at byte 0"},          // overlong '/'
      {"\xED\xA0\x80", "invalid UTF-8 at byte 0"},      // surrogate
      {"\xF4\x90\x80\x80", "invalid UTF-8 at byte 0"},  // beyond U+10FFFF
      {"\xE2\x82", "invalid UTF-8 at byte 0"},          // cut short
      {"\x80", "invalid UTF-8 at byte 0"},              // stray continuation
  };
  for (const auto& [value, expected] : cases) {
    try {
      CheckValue(value);
      ADD_FAILURE() << "accepted a value with " << expected;
    } catch (const InvalidValue& error) {
      EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace quillpost::document
