#include "activitylog/log_entry.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

namespace quillpost::activitylog {
namespace {

class FixedZone : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::setlocale(LC_ALL, "C");
  }
};

constexpr std::time_t kSample = 1796636465;  // 2026-12-07 09:41:05 UTC

TEST_F(FixedZone, EntryIsTimeMessageDataAndCrLf) {
  EXPECT_EQ(FormatLocalTime(kSample), "12/07/26 09:41:05");
  EXPECT_EQ(FormatEntry(kSample, "Server Initialised & Listening", ""),
            "12/07/26 09:41:05 - Server Initialised & Listening - \r\n");
  EXPECT_EQ(FormatEntry(kSample, "", ""), "12/07/26 09:41:05 -  - \r\n");
  EXPECT_EQ(FormatEntry(kSample, "Invalid message recieved (data is label)", "Other"),
            "12/07/26 09:41:05 - Invalid message recieved (data is label) - Other\r\n");
}

TEST(EscapeForLog, ForgedLinesStayOnTheirOwnEntryAndEscapingIsUnambiguous) {
  EXPECT_EQ(EscapeForLog("label\r\n12/07/26 09:41:05 - Server Terminated - "),
            "label\\r\\n12/07/26 09:41:05 - Server Terminated - ");
  EXPECT_EQ(EscapeForLog(std::string("a\tb\0c\x1B[0m\x7F", 10)), "a\\tb\\x00c\\x1B[0m\\x7F");
  // A literal backslash-n differs from an escaped line feed.
  EXPECT_EQ(EscapeForLog("C:\\new"), "C:\\\\new");
  EXPECT_NE(EscapeForLog("\\n"), EscapeForLog("\n"));
  EXPECT_EQ(EscapeForLog("caf\xC3\xA9 d:\\kvrsmtp.log"), "caf\xC3\xA9 d:\\\\kvrsmtp.log");
  // Bytes that are no UTF-8 (stray, truncated, overlong) and C1 controls such
  // as U+009B, which some terminals take as an escape sequence.
  EXPECT_EQ(EscapeForLog("\xFF \xC3 \xC0\xAF \xC2\x9B[2J \xE2\x82\xAC"),
            "\\xFF \\xC3 \\xC0\\xAF \\xC2\\x9B[2J \xE2\x82\xAC");
}

}  // namespace
}  // namespace quillpost::activitylog
