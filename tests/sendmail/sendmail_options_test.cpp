#include "sendmail_options.h"

#include <gtest/gtest.h>

#include <sstream>

#include "sendmail_message.h"

namespace quillpost::sendmail {
namespace {

TEST(SendmailOptions, TakesWhatProgramsPassAndIgnoresWhatMeansNothingHere) {
  const SendmailOptions options =
      ParseOptions("/usr/sbin/sendmail", {"-oi", "-odb", "-oem", "-oQ/var/spool", "-v", "-B",
                                          "8BITMIME", "-N", "never", "-ti", "-f<ann@example.org>",
                                          "-F", "Ann Lee", "bob@example.org", "--", "-odd"});
  EXPECT_EQ(options.mode, Mode::Deliver);
  EXPECT_TRUE(options.recipientsFromHeaders);
  EXPECT_FALSE(options.dotEndsInput);
  EXPECT_EQ(options.sender, "ann@example.org");
  EXPECT_EQ(options.fullName, "Ann Lee");
  EXPECT_EQ(options.recipients, (std::vector<std::string>{"bob@example.org", "-odd"}));

  EXPECT_TRUE(ParseOptions("sendmail", {"bob@example.org"}).dotEndsInput);
  EXPECT_FALSE(ParseOptions("sendmail", {"-r", "<>"}).sender.has_value());
  EXPECT_EQ(ParseOptions("sendmail", {"-bp"}).mode, Mode::ListQueue);
  EXPECT_EQ(ParseOptions("/usr/bin/mailq", {}).mode, Mode::ListQueue);
  EXPECT_THROW(ParseOptions("sendmail", {"-bs"}), UsageError);
  EXPECT_THROW(ParseOptions("sendmail", {"-X", "log"}), UsageError);
  EXPECT_THROW(ParseOptions("sendmail", {"-f"}), UsageError);
}

TEST(SendmailInput, LoneDotEndsTheMessageUnlessTurnedOff) {
  std::istringstream dotted("Subject: a\n\nbody\n.\nafter\n");
  EXPECT_EQ(ReadMessage(dotted, true), "Subject: a\n\nbody\n");
  std::istringstream kept("Subject: a\r\n\r\n.\r\nafter");
  EXPECT_EQ(ReadMessage(kept, false), "Subject: a\r\n\r\n.\r\nafter");
}

TEST(SendmailDelivery, ArgumentsThenHeaderRecipientsOnceEachAndBareNamesQualified) {
  SendmailOptions options;
  options.recipients = {"cy@example.org, bob@example.org"};
  options.recipientsFromHeaders = true;
  const Delivery delivery = PlanDelivery(
      options, "From: \"Lee, Ann\" <ann@example.org>\nTo: Bob <bob@example.org>, root\n\nx\n",
      {"ann", "host.example"});
  EXPECT_EQ(delivery.recipients,
            (std::vector<std::string>{"cy@example.org", "bob@example.org", "root@host.example"}));
  EXPECT_EQ(delivery.sender, "ann@example.org");
  EXPECT_EQ(delivery.senderName, "Lee, Ann");
}

}  // namespace
}  // namespace quillpost::sendmail
