#include "mail/whole_message.h"

#include <gtest/gtest.h>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

// Adding Date and Message-ID and the CR LF endings are checked end to end
// (tests/sendmail); here the cases the programs there never produce.
TEST(WholeMessage, KeepsFieldsOfAnyCaseAndRefusesALineSmtpCannotCarry) {
  const std::string dated =
      "DATE : Mon, 7 Dec 2026 09:02:39 +0100\r\nmessage-id:<a@b>\r\n\r\nx\r\n";
  EXPECT_EQ(PrepareWholeMessage(dated, "ex.org"), dated);
  EXPECT_NO_THROW(PrepareWholeMessage(dated + std::string(998, 'x'), "ex.org"));
  try {
    PrepareWholeMessage(dated + std::string(999, 'x') + "\n", "ex.org");
    FAIL() << "a line of 999 octets went through";
  } catch (const SendFailure& failure) {
    EXPECT_EQ(failure.Number(), failure::kLineTooLong);
    EXPECT_STREQ(failure.what(), "line 5 of the message is longer than 998 octets");
  }
}

TEST(WholeMessage, AMessageWithoutIdentityGetsTheOneItKeepsAcrossTries) {
  const std::string bare = "Subject: x\r\n\r\nx\r\n";
  const auto date = std::chrono::system_clock::from_time_t(1796112000);
  const std::string first = PrepareWholeMessage(bare, "ex.org", date, "<id.1@ex.org>");
  EXPECT_NE(first.find("Message-ID: <id.1@ex.org>\r\n"), std::string::npos) << first;
  EXPECT_EQ(PrepareWholeMessage(bare, "ex.org", date, "<id.1@ex.org>"), first);
}

}  // namespace
}  // namespace quillpost::smtp
