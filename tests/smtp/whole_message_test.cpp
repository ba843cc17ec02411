#include "mail/whole_message.h"

#include <gtest/gtest.h>

#include "mail/message_text.h"
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

TEST(WholeMessage, NothingButCrLfLinesGoOutAndNoBccOrNul) {
  const std::string dated = "Date: x\r\nMessage-ID: <a@b>\r\n";
  // A receiver that ends the data at CR "." CR LF would run the rest as commands.
  EXPECT_EQ(PrepareWholeMessage(dated + "Bcc: c@d\r\n\r\nline\r.\r\nMAIL FROM:<x@evil.example>\n",
                                "ex.org"),
            dated + "\r\nline\r\n.\r\nMAIL FROM:<x@evil.example>\r\n");
  for (const std::string& refused : {std::string("\n"), dated + std::string("\r\nnul\0", 6)}) {
    try {
      PrepareWholeMessage(refused, "ex.org");
      ADD_FAILURE() << "sent: " << refused;
    } catch (const SendFailure& failure) {
      EXPECT_EQ(failure.Number(), failure::kMessageUnsendable);
    }
  }
  // Whatever made the text, it reaches the wire with CR LF line ends only.
  MessageText text("a\r.\rb\nc\r\n");
  std::string out(32, '\0');
  out.resize(text.Read(out.data(), out.size()));
  EXPECT_EQ(out, "a\r\n.\r\nb\r\nc\r\n");
  EXPECT_EQ(text.Size(), out.size());
}

}  // namespace
}  // namespace quillpost::smtp
