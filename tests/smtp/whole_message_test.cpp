#include "mail/whole_message.h"

#include <gtest/gtest.h>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

TEST(WholeMessage, AddsOnlyMissingDateAndMessageIdAndEndsLinesInCrLf) {
  const std::string prepared = PrepareWholeMessage(
      "Subject: a\nTo: b@example.org\n\nbody\r\n.\nDate: in the body", "ex.org");
  ASSERT_EQ(prepared.rfind("Date: ", 0), 0U) << prepared;
  const std::size_t id = prepared.find("\r\nMessage-ID: <");
  ASSERT_NE(id, std::string::npos);
  EXPECT_NE(prepared.find("@ex.org>\r\n", id), std::string::npos);
  EXPECT_EQ(prepared.substr(prepared.find("Subject")),
            "Subject: a\r\nTo: b@example.org\r\n\r\nbody\r\n.\r\nDate: in the body\r\n");

  const std::string dated =
      "DATE : Mon, 07 Dec 2026 09:02:39 +0100\r\nmessage-id:<a@b>\r\n\r\nx\r\n";
  EXPECT_EQ(PrepareWholeMessage(dated, "ex.org"), dated);
}

TEST(WholeMessage, RefusesALineSmtpCannotCarryInsteadOfCuttingIt) {
  const std::string fits = "Subject: a\n\n" + std::string(998, 'x') + "\r\n";
  EXPECT_NO_THROW(PrepareWholeMessage(fits, "ex.org"));
  try {
    PrepareWholeMessage("Subject: a\n\n" + std::string(999, 'x') + "\n", "ex.org");
    FAIL() << "a line of 999 octets went through";
  } catch (const SendFailure& failure) {
    EXPECT_EQ(failure.Number(), failure::kLineTooLong);
    EXPECT_STREQ(failure.what(), "line 3 of the message is longer than 998 octets");
  }
}

}  // namespace
}  // namespace quillpost::smtp
